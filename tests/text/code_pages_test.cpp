#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "text/code_pages.h"
#include "text/unicode.h"

namespace nivra {
namespace {

constexpr std::size_t npos = std::string_view::npos;

struct CodePageCase {
  unsigned id;
  std::string text, utf8;   ///< a word in the code page, and in UTF-8
  std::string undefined;    ///< bytes the code page refuses to read
  std::size_t not_written;  ///< bytes or pairs read as a character Windows writes otherwise
  std::string lead;         ///< a lead byte, for the double-byte code pages
};

const CodePageCase CODE_PAGES[] = {
    {874, "\xC0\xD2\xC9\xD2", "\xE0\xB8\xA0\xE0\xB8\xB2\xE0\xB8\xA9\xE0\xB8\xB2", "\xDB", 0, ""},
    {932, "\x93\xFA\x96\x7B\x8C\xEA", "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E", "\xA0", 398, "\x93"},
    {936, "\xD6\xD0\xCE\xC4", "\xE4\xB8\xAD\xE6\x96\x87", "\xFF", 0, "\xD6"},
    {949, "\xC7\xD1\xB1\xB9\xBE\xEE", "\xED\x95\x9C\xEA\xB5\xAD\xEC\x96\xB4", "\xA2\xE8", 0,
     "\xC7"},
    {950, "\xA4\xA4\xA4\xE5", "\xE4\xB8\xAD\xE6\x96\x87", "\xA3\xC0", 10, "\xA4"},
    {1250, "\xA3\xF3\x64\x9F", "\xC5\x81\xC3\xB3\x64\xC5\xBA", "", 0, ""},
    {1251, "\xCF\xF0\xE8\xE2\xE5\xF2", "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82", "", 0,
     ""},
    {1252, "\x80\x81", "\xE2\x82\xAC\xC2\x81", "", 0, ""},
    {1253, "\xC5\xEB\xEB\xDC\xE4\xE1", "\xCE\x95\xCE\xBB\xCE\xBB\xCE\xAC\xCE\xB4\xCE\xB1", "\xAA",
     0, ""},
    {1254, "\xDD\xFE", "\xC4\xB0\xC5\x9F", "", 0, ""},
    {1255, "\xF9\xEC\xE5\xED\xCA", "\xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D\xD6\xBA", "\xD9", 0, ""},
    {1256, "\xDA\xD1\xC8\xED", "\xD8\xB9\xD8\xB1\xD8\xA8\xD9\x8A", "", 0, ""},
    {1257, "\xC0\xFE\x75", "\xC4\x84\xC5\xBE\x75", "\xA1", 0, ""},
    {1258, "\x56\x69\xEA\xF2\x74", "\x56\x69\xC3\xAA\xCC\xA3\x74", "", 0, ""},
    {65001, "\xC3\xA9", "\xC3\xA9", "\xC3\x28", 0, ""},
};

struct Read {
  std::string out;
  Converted c;
};

Read read(AnsiCodePage& page, std::string_view text, bool last = true) {
  Read r;
  r.c = page.to_utf8(text, last, r.out);
  return r;
}

Read write(AnsiCodePage& page, std::string_view utf8, bool last = true) {
  Read r;
  r.c = page.from_utf8(utf8, last, r.out);
  return r;
}

TEST(CodePages, ReadWriteAndRefuseAsWindowsDoes) {
  for (const CodePageCase& t : CODE_PAGES) {
    SCOPED_TRACE(t.id);
    const auto page = make_code_page(t.id);
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(page->id(), t.id);
    EXPECT_EQ(read(*page, t.text).out, t.utf8);
    EXPECT_EQ(write(*page, t.utf8).out, t.text);

    // Every byte and pair read is written back as itself, or as another form of the
    // same character.
    std::size_t other_form = 0;
    struct Character {
      std::string bytes, utf8;
    };
    std::vector<Character> high, others;  // every character read: bytes above 0x7F, the rest
    for (unsigned code = 0; code < 0x10000; ++code) {
      const bool pair = code >= 0x100;
      const std::string bytes = pair ? std::string{char(code >> 8), char(code)}
                                     : std::string(1, char(code));
      // A pair is one character only after a byte that waits for its trail byte.
      if (pair && read(*page, bytes.substr(0, 1), false).c.used != 0) continue;
      const Read r = read(*page, bytes);
      if (!r.c.lossless()) continue;
      (code >= 0x80 && code < 0x100 ? high : others).push_back({bytes, r.out});
      const Read back = write(*page, r.out);
      ASSERT_TRUE(back.c.lossless()) << std::hex << code;
      if (back.out == bytes) continue;
      EXPECT_EQ(read(*page, back.out).out, r.out) << std::hex << code;
      ++other_form;
    }
    EXPECT_EQ(other_form, t.not_written);

    // Every character written is read back as itself: what one program writes, the
    // other reads.
    std::size_t unreadable = 0;
    for (char32_t ch = 0x80; ch < 0x10000; ++ch) {
      if (ch >= 0xD800 && ch < 0xE000) continue;
      std::string utf8;
      utf8_append(ch, utf8);
      const Read w = write(*page, utf8);
      if (!w.c.lossless()) continue;
      const Read back = read(*page, w.out);
      if (!back.c.lossless() || back.out != utf8) ++unreadable;
    }
    EXPECT_EQ(unreadable, 0u);

    // All of them at once, single bytes among pairs and lines among both, give what they
    // give one by one; a refused byte among them is found where it is.
    std::string all, all_utf8;
    std::size_t middle = 0;
    for (std::size_t i = 0; i < others.size(); ++i) {
      if (i == others.size() / 2) middle = all.size();
      for (const Character* c : {&others[i], high.empty() ? nullptr : &high[i % high.size()]}) {
        if (!c) continue;
        all += c->bytes;
        all_utf8 += c->utf8;
      }
      if (i % 40 == 39) {
        all += "\r\n";
        all_utf8 += "\r\n";
      }
    }
    EXPECT_TRUE(read(*page, all).out == all_utf8);
    if (!t.undefined.empty()) {
      const std::string text = all.substr(0, middle) + t.undefined + all.substr(middle);
      EXPECT_EQ(read(*page, text).c.loss, middle);
    }

    // Refused bytes, and characters the code page has no bytes for, stop at their offset.
    if (!t.undefined.empty()) {
      const Read r = read(*page, "ab" + t.undefined + "cd");
      EXPECT_EQ(r.c.loss, 2u);
      EXPECT_EQ(r.c.used, 2u);
      EXPECT_EQ(r.out, "ab");
    }
    const Read w = write(*page, "ab" + t.utf8 + "\xF0\x9F\x98\x80" + "cd");
    EXPECT_EQ(w.c.loss, t.id == 65001 ? npos : 2 + t.utf8.size());
    EXPECT_EQ(w.out, t.id == 65001 ? "ab" + t.utf8 + "\xF0\x9F\x98\x80" + "cd" : "ab" + t.text);

    if (t.lead.empty()) continue;
    // A lead byte cut from its trail byte waits for the next piece, and is refused alone
    // at the end.
    const std::string whole = "x" + t.text;
    const Read first = read(*page, whole.substr(0, 2), false);
    EXPECT_TRUE(first.c.lossless());
    EXPECT_EQ(first.c.used, 1u);
    const Read rest = read(*page, whole.substr(first.c.used));
    EXPECT_EQ(first.out + rest.out, "x" + t.utf8);
    const Read lone = read(*page, t.text + t.lead);
    EXPECT_EQ(lone.c.loss, t.text.size());
    EXPECT_EQ(lone.out, t.utf8);
  }
}

TEST(CodePages, LocaleNamesTheCodePageByPosixPrecedence) {
  const struct {
    const char *lc_all, *lc_ctype, *lang;
    unsigned id;
  } cases[] = {
      {"", "", "", 1252},
      {"POSIX", nullptr, "ru_RU", 1252},
      {nullptr, "", "ko_KR.EUC-KR", 949},
      {"de_DE@euro", nullptr, nullptr, 1252},
      {"xx_YY", nullptr, nullptr, 1252},
      {"zh_CN.GB18030", nullptr, nullptr, 936},
      {"zh_SG", nullptr, nullptr, 936},
      {"zh", nullptr, nullptr, 936},
      {"zh_TW.Big5", nullptr, nullptr, 950},
      {"zh_HK.UTF-8", nullptr, nullptr, 950},
      {"zh_MO", nullptr, nullptr, 950},
      {"sr_RS.UTF-8", nullptr, nullptr, 1251},
      {"sr_RS.UTF-8@latin", nullptr, nullptr, 1250},
      {"sr_RS@latin", nullptr, nullptr, 1250},
      {"bs_BA@cyrillic", nullptr, nullptr, 1251},
      {"uz_UZ.UTF-8", nullptr, nullptr, 1254},
      {"uz_UZ.UTF-8@cyrillic", nullptr, nullptr, 1251},
      {"az_AZ", nullptr, nullptr, 1254},
      {"be_BY@latin", nullptr, nullptr, 1251},
  };
  for (const auto& c : cases) {
    const auto text = [](const char* s) { return s ? '"' + std::string(s) + '"' : "unset"; };
    EXPECT_EQ(ansi_code_page_for_locale(c.lc_all, c.lc_ctype, c.lang), c.id)
        << text(c.lc_all) << " " << text(c.lc_ctype) << " " << text(c.lang);
  }
  EXPECT_EQ(make_code_page(437), nullptr);
}

}  // namespace
}  // namespace nivra
