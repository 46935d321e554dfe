// The programs in the locale of each language convert from and to the ANSI code page that
// Windows gives it: losslessly, or not at all.

#include <gtest/gtest.h>

#include <random>

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
                                "ab" + undefined + "cd\n", 2, "line 1, column 3"));
    if (!sample.pair.empty())
      cases.push_back(
          refused("cut.h", "ab" + sample.pair + sample.pair.substr(0, 1), 4, "line 1, column 4"));
    const std::vector<std::string> env = {"LC_ALL=" + std::string(row.locale)};
    TempDir signing;
    const ProgramResult sign = run_cases(signing, Direction::sign, cases, env);
    EXPECT_EQ(sign.status, cases.size() > 1 ? 1 : 0) << sign.err;
    EXPECT_EQ(sign.out, repeat(MSG_LOSSY, cases.size() - 1));

    TempDir unsigning;
    std::vector<FileCase> unsigned_cases = {
        {"all.c", read_file(signing / "all.c"), back},
        refused("unholdable.cpp", SIG + "ab" + sample.unholdable + "\n", 5, "line 1, column 3"),
    };
    // Bytes that signing would refuse are never written.
    if (!sample.unread.empty())
      unsigned_cases.push_back(refused("unread.h", SIG + "\n" + sample.unread, 4, "line 2, column 1"));
    const ProgramResult unsign = run_cases(unsigning, Direction::unsign, unsigned_cases, env);
    EXPECT_TRUE(diagnostic_for(unsign.err, unsigning / "unholdable.cpp")
                    .find(": cannot be converted to code page " + std::to_string(row.id) +
                          " without loss: ") != std::string::npos)
        << unsign.err;
    EXPECT_EQ(unsign.status, 1);
    EXPECT_EQ(unsign.out, repeat(MSG_LOSSY, unsigned_cases.size() - 1));
  }
}

// Text of a few characters of a code page that pairs bytes may be valid UTF-8 too: it is
// converted from the code page or refused, never signed as UTF-8. UTF-8 prose is signed.
TEST(CodePagePrograms, AmbiguousDoubleByteTextIsNeverTakenForUtf8) {
  const struct {
    const char* locale;
    unsigned id;
    unsigned char lead_first, lead_last, trail_first;  // common characters' pairs
    std::string prose;                                 // in UTF-8
  } cases[] = {
      {"zh_CN.UTF-8", 936, 0xB0, 0xD7, 0xA1, "/* \u521D\u59CB\u5316\u72B6\u6001\u673A\u3002 */\n"},
      {"ko_KR.UTF-8", 949, 0xB0, 0xC8, 0xA1, "// \uCC3D\uC744 \uB2EB\uC2B5\uB2C8\uB2E4.\n"},
      {"zh_TW.UTF-8", 950, 0xA4, 0xC6, 0x40, "/* \u7A97\u53E3\u95DC\u9589 */\n"},
      {"ja_JP.UTF-8", 932, 0x88, 0x98, 0x40, "// \u30A6\u30A3\u30F3\u30C9\u30A6\u3092\u9589\u3058\u308B\n"},
  };
  std::mt19937 random(32);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.locale);
    const auto page = make_code_page(c.id);
    const auto pick = [&](unsigned first, unsigned last) {
      return char(std::uniform_int_distribution<unsigned>(first, last)(random));
    };
    TempDir tree;
    std::vector<std::string> texts;
    while (texts.size() < 3000) {
      std::string text = "/* ";
      for (int k = std::uniform_int_distribution<int>(1, 7)(random); k > 0;) {
        const std::string pair{pick(c.lead_first, c.lead_last), pick(c.trail_first, 0xFE)};
        std::string read;
        if (!page->to_utf8(pair, true, read).lossless() || read.size() != 3) continue;
        for (int ascii = std::uniform_int_distribution<int>(-3, 3)(random); ascii > 0; --ascii)
          text += pick(0x20, 0x7E);
        text += pair;
        --k;
      }
      text.append(" */\n");
      write_file(tree / (std::to_string(texts.size()) + ".c"), text);
      texts.push_back(std::move(text));
    }
    write_file(tree / "prose.c", c.prose);
    RunOptions o;
    o.env = {"LC_ALL=" + std::string(c.locale)};
    const ProgramResult r = run(install_program(tree.path(), Direction::sign), o);
    EXPECT_EQ(read_file(tree / "prose.c"), SIG + c.prose);
    std::size_t refused = 0, mis_signed = 0;
    for (std::size_t i = 0; i < texts.size(); ++i) {
      const std::string name = tree / (std::to_string(i) + ".c");
      const std::string now = read_file(name);
      if (now == texts[i]) {
        ++refused;
        EXPECT_TRUE(diagnostic_for(r.err, name).ends_with(
            ": valid both as UTF-8 and as code page " + std::to_string(c.id) +
            ": left alone; convert it by hand"));
      } else if (now != SIG + to_utf8(*page, texts[i])) {
        ++mis_signed;
      }
    }
    EXPECT_EQ(mis_signed, 0u);
    EXPECT_EQ(r.out, repeat(MSG_LOSSY, refused));
    EXPECT_EQ(r.status, refused > 0 ? 1 : 0);
    EXPECT_EQ(refused != 0, c.id != 932) << refused;
  }
}

TEST(CodePagePrograms, TheLocaleIsTakenByPosixPrecedenceWithoutItsCharset) {
  // Where no language names the code page, standard error says which it is, and how to
  // choose another.
  const std::string how = "; for Shift_JIS sources run ";
  const struct {
    std::vector<std::string> env;  // every other locale variable is unset
    unsigned id;
    std::string notice;
  } cases[] = {
      {{"LC_ALL=ja_JP.UTF-8", "LC_CTYPE=ru_RU.UTF-8", "LANG=el_GR.UTF-8"}, 932, ""},
      {{"LC_CTYPE=ru_RU.KOI8-R", "LANG=ja_JP.UTF-8"}, 1251, ""},
      {{"LC_ALL=", "LC_CTYPE=", "LANG=el_GR"}, 1253, ""},
      {{"LANG=en_US.UTF-8"}, 1252, ""},
      {{"LC_ALL=C", "LANG=ja_JP.UTF-8"}, 1252,
       "since LC_ALL=C names no language" + how + "LC_ALL=ja_JP.UTF-8"},
      {{"LC_CTYPE=POSIX", "LANG=ru_RU.UTF-8"}, 1252,
       "since LC_CTYPE=POSIX names no language" + how + "LC_CTYPE=ja_JP.UTF-8"},
      {{"LANG=C.UTF-8"}, 1252, "since LANG=C.UTF-8 names no language" + how + "LANG=ja_JP.UTF-8"},
      {{}, 1252, "since no locale variable is set" + how + "LANG=ja_JP.UTF-8"},
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
    EXPECT_EQ(r.err, c.notice.empty() ? ""
                                      : "nivra-sign: code page 1252, " + c.notice + " ./nivra-sign\n");
    EXPECT_EQ(r.out, "");
  }
}

}  // namespace
}  // namespace nivra::test
