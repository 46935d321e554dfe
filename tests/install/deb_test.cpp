// The Debian package that CPack makes: its name, its control fields and its files, and
// that it installs, runs and removes cleanly under a root of its own.

#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <set>
#include <sstream>

#include "install/install_support.h"

namespace nivra::test {
namespace {

std::string trimmed(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

class DebPackage : public testing::Test {
 protected:
  // Made once for all the cases of this process.
  static void SetUpTestSuite() {
    if (!have_tool("dpkg-deb")) return;
    out_ = std::make_unique<TempDir>();
    const ProgramResult arch = shell("dpkg --print-architecture");
    arch_ = trimmed(arch.out);
    made_ = shell(sh_quoted(NIVRA_CPACK_COMMAND) + " --config " +
                  sh_quoted(std::string(NIVRA_BUILD_DIR) + "/CPackConfig.cmake") + " -G DEB -B " +
                  sh_quoted(out_->path()));
  }
  static void TearDownTestSuite() { out_.reset(); }

  void SetUp() override {
    if (!have_tool("dpkg-deb")) GTEST_SKIP() << "no dpkg-deb: install the Debian package dpkg";
    ASSERT_EQ(made_.status, 0) << made_.out << made_.err;
    ASSERT_FALSE(arch_.empty());
  }

  static std::string deb() {
    return *out_ / ("nivra_" + std::string(NIVRA_VERSION) + "_" + arch_ + ".deb");
  }

  static std::unique_ptr<TempDir> out_;
  static std::string arch_;
  static ProgramResult made_;
};

std::unique_ptr<TempDir> DebPackage::out_;
std::string DebPackage::arch_;
ProgramResult DebPackage::made_;

TEST_F(DebPackage, IsNamedWithTheProjectVersionAndArchitecture) {
  EXPECT_TRUE(exists(deb())) << made_.out;
}

TEST_F(DebPackage, ControlFieldsDescribeIt) {
  auto field = [](const std::string& name) {
    return trimmed(shell("dpkg-deb -f " + sh_quoted(deb()) + " " + name).out);
  };
  EXPECT_EQ(field("Package"), "nivra");
  EXPECT_EQ(field("Version"), NIVRA_VERSION);
  EXPECT_EQ(field("Architecture"), arch_);
  EXPECT_EQ(field("Section"), "devel");
  EXPECT_NE(field("Maintainer").find('@'), std::string::npos);
  EXPECT_NE(field("Description").find("The code page follows the\n locale"), std::string::npos)
      << field("Description");
  const std::string depends = field("Depends");
  EXPECT_NE(depends.find("libc6"), std::string::npos) << depends;
  EXPECT_NE(depends.find("libstdc++6"), std::string::npos) << depends;
}

TEST_F(DebPackage, HoldsTheProgramsAndPagesOwnedByRoot) {
  const ProgramResult listed = shell("dpkg-deb -c " + sh_quoted(deb()));
  ASSERT_EQ(listed.status, 0) << listed.err;
  // Lines: mode owner/group size date time path.
  std::map<std::string, std::string> files;
  std::istringstream lines(listed.out);
  std::string mode, owner, size, day, time, path;
  while (lines >> mode >> owner >> size >> day >> time >> path) {
    EXPECT_EQ(owner, "root/root") << path;
    if (mode[0] != 'd') files[path] = mode;
  }
  const std::map<std::string, std::string> expected = {
      {"./usr/bin/nivra-sign", "-rwxr-xr-x"},
      {"./usr/bin/nivra-unsign", "-rwxr-xr-x"},
      {"./usr/share/man/man1/nivra-sign.1.gz", "-rw-r--r--"},
      {"./usr/share/man/man1/nivra-unsign.1.gz", "-rw-r--r--"},
      {"./usr/share/doc/nivra/copyright", "-rw-r--r--"},
      {"./usr/share/doc/nivra/changelog.gz", "-rw-r--r--"}};
  EXPECT_EQ(files, expected) << listed.out;
}

TEST_F(DebPackage, LintianFindsNothingWrong) {
  if (!have_tool("lintian")) GTEST_SKIP() << "no lintian: .ci/install-packaging-tools.sh installs it";
  const ProgramResult checked = shell("lintian --fail-on error,warning " + sh_quoted(deb()));
  EXPECT_EQ(checked.status, 0) << checked.out << checked.err;
  EXPECT_EQ(checked.out, "");
}

TEST_F(DebPackage, ProgramsRunFromTheUnpackedPackage) {
  TempDir root;
  const ProgramResult unpacked = shell("dpkg-deb -x " + sh_quoted(deb()) + " " + sh_quoted(root.path()));
  ASSERT_EQ(unpacked.status, 0) << unpacked.err;
  expect_programs_convert(root / "usr/bin/nivra-sign", root / "usr/bin/nivra-unsign");
}

TEST_F(DebPackage, InstallsAndRemovesCleanlyUnderAnotherRoot) {
  if (geteuid() != 0) GTEST_SKIP() << "dpkg sets the files' owner: run the tests as root";
  TempDir root;
  for (const char* name : {"var/lib/dpkg/status", "var/lib/dpkg/available"})
    write_file(root / name, "");
  make_dirs(root / "var/lib/dpkg/info");
  make_dirs(root / "var/lib/dpkg/updates");
  // The libraries it depends on are the host's; this root's database knows none.
  const std::string dpkg = "dpkg --root=" + sh_quoted(root.path()) + " --log=/dev/null ";

  const ProgramResult installed = shell(dpkg + "--force-depends -i " + sh_quoted(deb()));
  ASSERT_EQ(installed.status, 0) << installed.out << installed.err;
  EXPECT_EQ(trimmed(shell(dpkg + "-s nivra | grep ^Status:").out), "Status: install ok installed");
  EXPECT_TRUE(exists(root / "usr/share/man/man1/nivra-sign.1.gz"));
  expect_programs_convert(root / "usr/bin/nivra-sign", root / "usr/bin/nivra-unsign");

  const ProgramResult removed = shell(dpkg + "-r nivra");
  ASSERT_EQ(removed.status, 0) << removed.out << removed.err;
  EXPECT_NE(shell(dpkg + "-s nivra").status, 0) << "still known after removal";
  EXPECT_FALSE(exists(root / "usr")) << "left behind: " << shell("find " + sh_quoted(root / "usr")).out;
}

}  // namespace
}  // namespace nivra::test
