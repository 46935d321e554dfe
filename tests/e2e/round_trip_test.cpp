// For any content that is not signed and not UTF-8 text already, nivra-unsign after
// nivra-sign gives back every byte, and each run leaves the content it replaced as the
// backup. Thousands of seeded random files, one tree, one run of each program.

#include <gtest/gtest.h>

#include <random>

#include "text/unicode.h"
#include "support/test_support.h"

namespace nivra::test {
namespace {

/// Random bytes of a few shapes: any byte, only high bytes, text with line ends and
/// NUL bytes, and UTF-8 with a stray byte somewhere. A few span several read blocks.
std::string random_content(std::mt19937_64& rng) {
  const unsigned r = rng() % 100;
  const std::size_t size = r < 60 ? rng() % 17 : r < 90 ? 17 + rng() % 200
                         : r < 99 ? 200 + rng() % 3000
                         : rng() % 2 ? 40000 + rng() % 30000
                                     : (std::size_t(1) << 20) + rng() % (std::size_t(5) << 19);
  static const std::string TEXT_BYTES = std::string("abc xyz;{}\n\n\r\r\0\t", 16) +
                                        "\xE9\xF1\x80\x81\x8D\x8F\x90\x9D\x92\xA0\xFF";
  static const char* const UTF8_PIECES[] = {"a", "\n", "\r\n", "\xC3\xA9", "\xE2\x82\xAC",
                                            "\xF0\x9F\x98\x80", "\xC2\x81"};
  const unsigned shape = rng() % 4;
  std::string s;
  while (s.size() < size) {
    switch (shape) {
      case 0: s += char(rng()); break;
      case 1: s += char(0x80 | rng()); break;
      case 2: s += TEXT_BYTES[rng() % TEXT_BYTES.size()]; break;
      default: s += rng() % 50 ? UTF8_PIECES[rng() % std::size(UTF8_PIECES)] : std::string(1, char(rng()));
    }
  }
  return s;
}

bool in_scope(const std::string& s) {
  for (const char* head : {"\xEF\xBB\xBF", "\xFF\xFE", "\xFE\xFF"})
    if (s.starts_with(head)) return false;
  const bool utf8_text = !is_ascii(s) && utf8_first_invalid(s) == std::string_view::npos;
  return !utf8_text;
}

TEST(RoundTrip, UnsignAfterSignGivesBackEveryByte) {
  std::mt19937_64 rng(20261208);
  TempDir tree;
  const std::string sign = install_program(tree.path(), Direction::sign);
  const std::string unsign = install_program(tree.path(), Direction::unsign);
  std::vector<std::pair<std::string, std::string>> files;  // name, original content
  while (files.size() < 3000) {
    std::string content = random_content(rng);
    if (!in_scope(content)) continue;
    const std::string name = std::to_string(files.size() % 30) + "/f" +
                             std::to_string(files.size()) + (rng() % 2 ? ".c" : ".H");
    write_file(tree / name, content);
    files.emplace_back(name, std::move(content));
  }

  ProgramResult r = run(sign);
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(r.out, "");
  std::vector<std::string> signed_forms;
  for (const auto& [name, original] : files) {
    signed_forms.push_back(read_file(tree / name));
    const std::string& s = signed_forms.back();
    ASSERT_TRUE(s.starts_with("\xEF\xBB\xBF")) << name;
    ASSERT_EQ(utf8_first_invalid(s), std::string_view::npos) << name;
    ASSERT_EQ(read_file(tree / (name + ".OLD")), original) << name;
  }

  r = run(unsign);
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(r.out, "");
  for (std::size_t i = 0; i < files.size(); ++i) {
    const auto& [name, original] = files[i];
    ASSERT_EQ(read_file(tree / name), original) << name;
    ASSERT_EQ(read_file(tree / (name + ".OLD")), signed_forms[i]) << name;
  }
}

}  // namespace
}  // namespace nivra::test
