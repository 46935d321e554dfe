// `cmake --install` into a staging folder: exactly the two programs and their pages, in
// the places a user looks for them, and the programs work from there.

#include <gtest/gtest.h>

#include <set>

#include "install/install_support.h"

namespace nivra::test {
namespace {

/// The files (not folders) of a snapshot, by relative path.
std::set<std::string> files_of(const std::map<std::string, std::string>& tree) {
  std::set<std::string> files;
  for (const auto& [path, content] : tree)
    if (content != "<dir>") files.insert(path);
  return files;
}

TEST(CmakeInstall, PutsTheProgramsInBinAndThePagesInMan1) {
  TempDir stage;
  const ProgramResult installed =
      shell("DESTDIR=" + sh_quoted(stage.path()) + " " + sh_quoted(NIVRA_CMAKE_COMMAND) +
            " --install " + sh_quoted(NIVRA_BUILD_DIR) + " --prefix /opt/nivra");
  ASSERT_EQ(installed.status, 0) << installed.out << installed.err;

  const auto tree = snapshot(stage.path());
  const std::set<std::string> expected = {
      "opt/nivra/bin/nivra-sign", "opt/nivra/bin/nivra-unsign",
      "opt/nivra/share/man/man1/nivra-sign.1.gz", "opt/nivra/share/man/man1/nivra-unsign.1.gz",
      "opt/nivra/share/doc/nivra/copyright", "opt/nivra/share/doc/nivra/changelog.gz"};
  EXPECT_EQ(files_of(tree), expected);

  for (Direction d : {Direction::sign, Direction::unsign}) {
    const std::string program(traits(d).program);
    EXPECT_EQ(mode_of(stage / ("opt/nivra/bin/" + program)) & 0111, 0111u) << program;
    const std::string page = stage / ("opt/nivra/share/man/man1/" + program + ".1.gz");
    EXPECT_EQ(shell("gzip -dc " + sh_quoted(page)).out, read_file(built_page(d)));
  }
  EXPECT_NE(read_file(stage / "opt/nivra/share/doc/nivra/copyright").find("License: MIT\n"),
            std::string::npos);
  expect_programs_convert(stage / "opt/nivra/bin/nivra-sign",
                          stage / "opt/nivra/bin/nivra-unsign");
}

}  // namespace
}  // namespace nivra::test
