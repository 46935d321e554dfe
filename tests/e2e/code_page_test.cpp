// The programs in the locale of each language convert from and to the ANSI code page that
// Windows gives it: losslessly, or not at all.

#include <gtest/gtest.h>

#include "convert/messages.h"
#include "support/test_support.h"
#include "text/code_pages.h"
#include "text/unicode.h"

namespace nivra::test {
namespace {

const std::string SIG = "\xEF\xBB\xBF";

std::string to_utf8(AnsiCodePage& page, std::string_view text) {
  std::string out;
  EXPECT_TRUE(page.to_utf8(text, true, out).lossless());
  return out;
}

std::string from_utf8(AnsiCodePage& page, std::string_view utf8) {
  std::string out;
  EXPECT_TRUE(page.from_utf8(utf8, true, out).lossless());
  return out;
}

TEST(CodePagePrograms, EveryDefinedByteComesBackAndTheRestIsRefused) {
  for (const LocaleCodePage& row : LOCALE_CODE_PAGES) {
    SCOPED_TRACE(row.locale);
    const auto page = make_code_page(row.id);
    ASSERT_NE(page, nullptr);
    const CodePageSample sample = code_page_sample(*page);
    // Twice, the second copy from the last byte of the first read block on: for a
    // double-byte code page, a pair spans the end of that block.
    std::string text = sample.text;
    text += repeat("// filler\r\n", (std::size_t(1) << 20) / 11);
    text.resize((std::size_t(1) << 20) - 1, 'x');
    text += sample.text;
    // Valid UTF-8 would be signed as it is, whatever the code page.
    ASSERT_EQ(row.id == 65001, utf8_first_invalid(text) == std::string_view::npos);
    const std::string utf8 = to_utf8(*page, text), back = from_utf8(*page, utf8);
    EXPECT_EQ(back != text, row.duplicates);
    EXPECT_TRUE(to_utf8(*page, back) == utf8);

    std::vector<FileCase> cases = {{"all.c", text, SIG + utf8}};
    for (const std::string& undefined : {sample.undefined, sample.undefined_pair})
      if (!undefined.empty())
        cases.push_back(refused("undefined" + std::to_string(undefined.size()) + ".c",
                                "ab" + undefined + "cd\n", 2));
    if (!sample.pair.empty())
      cases.push_back(refused("cut.h", "ab" + sample.pair + sample.pair.substr(0, 1), 4));
    const std::vector<std::string> env = {"LC_ALL=" + std::string(row.locale)};
    TempDir signing;
    const ProgramResult sign = run_cases(signing, Direction::sign, cases, env);
    EXPECT_EQ(sign.status, cases.size() > 1 ? 1 : 0) << sign.err;
    EXPECT_EQ(sign.out, repeat(MSG_LOSSY, cases.size() - 1));

    TempDir unsigning;
    const ProgramResult unsign = run_cases(unsigning, Direction::unsign, {
        {"all.c", read_file(signing / "all.c"), back},
        refused("unholdable.cpp", SIG + "ab" + sample.unholdable + "\n", 5),
    }, env);
    EXPECT_EQ(unsign.status, 1);
    EXPECT_EQ(unsign.out, MSG_LOSSY);
  }
}

TEST(CodePagePrograms, TheLocaleIsTakenByPosixPrecedenceWithoutItsCharset) {
  const struct {
    std::vector<std::string> env;  // every other locale variable is unset
    unsigned id;
  } cases[] = {
      {{"LC_ALL=ja_JP.UTF-8", "LC_CTYPE=ru_RU.UTF-8", "LANG=el_GR.UTF-8"}, 932},
      {{"LC_CTYPE=ru_RU.KOI8-R", "LANG=ja_JP.UTF-8"}, 1251},
      {{"LC_ALL=", "LC_CTYPE=", "LANG=el_GR"}, 1253},
      {{"LANG=ja_JP.eucJP"}, 932},
      {{"LC_ALL=C", "LANG=ja_JP.UTF-8"}, 1252},
      {{"LC_CTYPE=POSIX", "LANG=ru_RU.UTF-8"}, 1252},
      {{"LANG=C.UTF-8"}, 1252},
      {{}, 1252},
  };
  const std::string text = "\x93\xFA\x96\x7B\n";  // two kanji in 932
  for (const auto& c : cases) {
    std::string settings;
    for (const std::string& e : c.env) settings += e + " ";
    SCOPED_TRACE(settings);
    TempDir tree;
    write_file(tree / "a.c", text);
    RunOptions o;
    o.extra_args = {"-u", "LC_ALL", "-u", "LC_CTYPE", "-u", "LANG"};
    o.extra_args.insert(o.extra_args.end(), c.env.begin(), c.env.end());
    o.extra_args.push_back(install_program(tree.path(), Direction::sign));
    const ProgramResult r = run("env", o);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(tree / "a.c"), SIG + to_utf8(*make_code_page(c.id), text)) << c.id;
  }
}

}  // namespace
}  // namespace nivra::test
