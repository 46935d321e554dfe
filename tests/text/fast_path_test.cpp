// The word-at-a-time and table-driven paths of the two conversions, held against the
// character-by-character definition: every byte value, at every offset around the
// eight-byte steps, and the malformed forms at each of those offsets. Then the vector
// code of each instruction set, held against the portable code on random text.

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "text/code_page.h"
#include "text/cp1252.h"
#include "text/unicode.h"
#include "text/vector.h"

namespace nivra {
namespace {

constexpr auto npos = std::string_view::npos;

/// Code point -> byte, from the forward table alone.
const std::map<char32_t, int>& inverse() {
  static const std::map<char32_t, int> map = [] {
    std::map<char32_t, int> m;
    for (int b = 0; b < 256; ++b) m[cp1252_char(static_cast<unsigned char>(b))] = b;
    return m;
  }();
  return map;
}

std::string slow_to_utf8(std::string_view text) {
  std::string out;
  for (unsigned char b : text) utf8_append(cp1252_char(b), out);
  return out;
}

/// One character at a time: where the first sequence that is malformed or has no byte
/// begins, and the bytes of what comes before it.
std::size_t slow_first_not_cp1252(std::string_view text, std::string* bytes = nullptr) {
  const auto* begin = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = begin + text.size();
  for (const auto* p = begin; p < end;) {
    char32_t cp;
    const std::size_t len = utf8_decode(p, end, cp);
    if (len == 0) return std::size_t(p - begin);
    const auto it = inverse().find(cp);
    if (it == inverse().end()) return std::size_t(p - begin);
    if (bytes) bytes->push_back(char(it->second));
    p += len;
  }
  return npos;
}

Cp1252CodePage& cp1252() {
  static Cp1252CodePage page;
  return page;
}

std::string to_utf8(std::string_view text) {
  std::string out;
  cp1252().to_utf8(text, true, out);
  return out;
}

/// Where the conversion of UTF-8 `text` to Windows-1252 stops, or npos.
std::size_t first_not_cp1252(std::string_view text) {
  std::string out;
  return cp1252().from_utf8(text, true, out).loss;
}

/// What the conversion of UTF-8 `text` to Windows-1252 writes, up to where it stops.
std::string to_cp1252(std::string_view text) {
  std::string out;
  cp1252().from_utf8(text, true, out);
  return out;
}

TEST(FastPath, EveryByteAfterEveryRunLengthConvertsBothWays) {
  for (std::size_t run = 0; run <= 20; ++run) {
    for (std::size_t tail : {0, 1, 7, 8, 9, 17}) {
      for (int b = 0; b < 256; ++b) {
        const std::string text = std::string(run, 'a') + char(b) + std::string(tail, 'z');
        std::string out = "kept";
        ASSERT_TRUE(cp1252().to_utf8(text, true, out).lossless());
        ASSERT_EQ(out, "kept" + slow_to_utf8(text)) << "run " << run << " byte " << b;
        const std::string utf8 = out.substr(4);
        std::string back = "kept";
        ASSERT_EQ(cp1252().from_utf8(utf8, true, back).loss, npos) << "run " << run << " byte " << b;
        ASSERT_EQ(back, "kept" + text) << "run " << run << " byte " << b;
      }
    }
  }
}

TEST(FastPath, LongTextsOfEveryMixConvertExactly) {
  // Lengths around the 255 words after which the count of high bytes is summed.
  for (std::size_t size : {2039, 2040, 2041, 2047, 2048, 2049, 4081, 10007}) {
    for (int every : {1, 2, 3, 9, 64}) {
      std::string text;
      for (std::size_t i = 0; i < size; ++i)
        text.push_back(i % every == 0 ? char(0x80 + i % 128) : char('a' + i % 26));
      const std::string utf8 = to_utf8(text);
      ASSERT_EQ(utf8, slow_to_utf8(text)) << size << " " << every;
      ASSERT_EQ(first_not_cp1252(utf8), npos);
      ASSERT_EQ(to_cp1252(utf8), text) << size << " " << every;
    }
  }
}

TEST(FastPath, ByteOfEveryCodePointIsTheInverseOfTheTable) {
  for (char32_t cp = 0; cp <= 0x110000; ++cp) {
    const auto it = inverse().find(cp);
    ASSERT_EQ(cp1252().byte_of(cp), it == inverse().end() ? -1 : it->second) << std::hex << unsigned(cp);
  }
  EXPECT_EQ(cp1252().byte_of(0xFFFFFFFF), -1);
}

TEST(FastPath, FirstLossIsFoundAfterEveryRunLength) {
  const std::string_view bad[] = {
      "\x80",          "\xBF",         "\xC0\x80",     "\xC1\xBF",     "\xC2",
      "\xC3",          "\xC3\x28",     "\xC3\xC3",     "\xC2\x80",     "\xC2\x9F",
      "\xC4\x80",      "\xDF\xBF",     "\xE0\x80\x80", "\xE0\x9F\xBF", "\xE2\x82",
      "\xE2\x82\x28",  "\xE2\x82\xAD", "\xED\xA0\x80", "\xEF\xBB\xBF", "\xF0\x8F\xBF\xBF",
      "\xF0\x9F\x98\x80", "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xFF",
  };
  const std::string_view good[] = {"", "\xC3\xA9", "\xC2\x81", "\xE2\x82\xAC", "\xC5\xB8"};
  for (std::string_view seq : bad) {
    for (std::string_view before : good) {
      for (std::size_t run = 0; run <= 20; ++run) {
        for (std::string_view tail : {"", "x", "xxxxxxxxx"}) {
          const std::string text = std::string(run, 'a') + std::string(before) +
                                   std::string(seq) + std::string(tail);
          ASSERT_EQ(first_not_cp1252(text), run + before.size())
              << "run " << run << " sequence of " << seq.size();
          ASSERT_EQ(slow_first_not_cp1252(text), run + before.size());
        }
      }
    }
  }
}

TEST(FastPath, EveryShortSequenceIsJudgedAsTheDecoderJudgesIt) {
  for (int a = 0x80; a < 0x100; ++a) {
    for (int b = 0; b < 0x100; ++b) {
      for (int c : {-1, 0x00, 0x80, 0x9F, 0xA0, 0xAC, 0xBF, 0xC0}) {
        std::string text = "abc";
        text.push_back(char(a));
        text.push_back(char(b));
        if (c >= 0) text.push_back(char(c));
        text += "defghijk";
        std::string bytes;
        const std::size_t expected = slow_first_not_cp1252(text, &bytes);
        ASSERT_EQ(first_not_cp1252(text), expected) << std::hex << a << " " << b << " " << c;
        if (expected == npos) {
          ASSERT_EQ(to_cp1252(text), bytes);
        }
      }
    }
  }
}

TEST(FastPath, MixesOfLettersAndOddSequencesAreJudgedAsTheDecoderJudgesThem) {
  // Words of eight bytes taken whole or in part: letters that straddle two words, leads
  // without a continuation, C2 before each kind of continuation, three-byte characters.
  const std::string_view pieces[] = {"a", "\xC3\xA9", "\xC3\xBF", "\xC2\xBF", "\xC2\xA0",
                                     "\xC2\x81", "\xC2\x80", "\xE2\x82\xAC", "\xC3", "\xA9",
                                     "\xC4\x80", "\xC2\xC3\xA9", "zzzzzzz"};
  std::mt19937 rng(7);
  std::uniform_int_distribution<std::size_t> pick(0, std::size(pieces) - 1);
  std::uniform_int_distribution<int> count(0, 24), rare(0, 9);
  for (int i = 0; i < 20000; ++i) {
    std::string text;
    for (int n = count(rng); n > 0; --n) {
      // Mostly the letters that Windows-1252 holds, so that a fault is found late too.
      const std::size_t k = pick(rng);
      text += rare(rng) == 0 ? pieces[k] : pieces[k % 4];
    }
    std::string bytes;
    const std::size_t expected = slow_first_not_cp1252(text, &bytes);
    ASSERT_EQ(first_not_cp1252(text), expected) << i;
    if (expected == npos) {
      ASSERT_EQ(to_cp1252(text), bytes) << i;
    }
  }
}

TEST(FastPath, UncheckedTextKeepsWhatItCannotConvert) {
  // The text is checked as it is converted: what cannot be converted is kept out of the
  // output, which ends before it, where the loss is named.
  const struct {
    std::string_view utf8, bytes;
    std::size_t loss;
  } cases[] = {{"a\x80" "b", "a", 1},
               {"a\xC4\x80" "b", "a", 1},
               {"abcdefghij\xF0\x9F\x98\x80", "abcdefghij", 10},
               {"\xC3", "", 0}};
  for (const auto& c : cases) {
    std::string out = "kept";
    const Converted converted = cp1252().from_utf8(c.utf8, true, out);
    EXPECT_EQ(converted.loss, c.loss) << testing::PrintToString(c.utf8);
    EXPECT_EQ(converted.used, c.loss);
    EXPECT_EQ(out, "kept" + std::string(c.bytes));
  }
}

TEST(FastPath, AsciiScansStopAtAHighByteAnywhere) {
  for (std::size_t size = 1; size <= 40; ++size) {
    EXPECT_TRUE(is_ascii(std::string(size, '\x7F')));
    for (std::size_t at = 0; at < size; ++at) {
      std::string text(size, 'q');
      text[at] = '\xFF';
      const auto* p = reinterpret_cast<const unsigned char*>(text.data());
      ASSERT_EQ(ascii_run(p, p + size), at) << size << " " << at;
      ASSERT_FALSE(is_ascii(text)) << size << " " << at;
      ASSERT_EQ(utf8_first_invalid(text), at) << size << " " << at;
      text[at] = '\x80';
      ASSERT_EQ(ascii_run(p, p + size), at) << size << " " << at;
    }
  }
  EXPECT_TRUE(is_ascii(""));
}

// --- The vector kernels against the portable code ---------------------------------------

/// Every instruction set this processor runs; each is held against the portable code.
std::vector<const TextKernels*> vector_kernels() {
  std::vector<const TextKernels*> all = runnable_text_kernels();
  all.erase(all.begin());  // the portable kernels themselves
  return all;
}

TEST(VectorText, KernelsAreFoundByTheirNamesWhereTheProcessorRunsThem) {
  const std::vector<const TextKernels*> runnable = runnable_text_kernels();
  ASSERT_FALSE(runnable.empty());
  EXPECT_EQ(runnable.front(), &portable_text_kernels());
  EXPECT_EQ(runnable.back(), &best_text_kernels());  // the widest comes last
  for (const TextKernels* k : runnable) EXPECT_EQ(text_kernels_named(k->name), k);
  for (const TextKernels* k : {sse2_text_kernels(), avx2_text_kernels()})
    if (k != nullptr && std::find(runnable.begin(), runnable.end(), k) == runnable.end()) {
      EXPECT_EQ(text_kernels_named(k->name), nullptr) << k->name;  // built, not runnable
    }
  for (const char* name : {"", "mmx", "AVX2", "avx2 "}) EXPECT_EQ(text_kernels_named(name), nullptr);
}

/// Back to the kernels the run began with, whatever a test chose.
struct KernelsRestored {
  const TextKernels& before = text_kernels();
  ~KernelsRestored() { use_text_kernels(before); }
};

/// A code page with gaps, characters of two and three UTF-8 bytes, one beyond the BMP (left
/// to the portable code), a byte for an ASCII letter and two bytes for one character.
const SingleByteTable& odd_table() {
  static const SingleByteTable table = [] {
    SingleByteTable t{9999, {}};
    for (unsigned i = 0; i < 128; ++i) {
      const char32_t choices[] = {0xA0 + i, 0x400 + i, 0x2000 + i, 0xE00 + i, NO_CHARACTER};
      t.high[i] = choices[i * 7 % 5];
    }
    t.high[0x01] = 0x1F600;
    t.high[0x02] = U'A';
    t.high[0x03] = t.high[0x04] = 0x20AC;
    t.high[0x05] = 0x7FF;
    t.high[0x06] = 0x800;
    t.high[0x07] = 0xFFFD;
    return t;
  }();
  return table;
}

/// Text of `size` bytes at most, in one of the mixes: ASCII only, a little or much of
/// characters of two, three and four bytes, malformed sequences, and a cut at the end.
std::string random_utf8(std::mt19937& rng, std::size_t size, int mix) {
  static const std::string_view pieces[] = {
      "a",          "\r\n",         "\xC3\xA9",     "\xC2\x81",     "\xE2\x82\xAC",
      "\xE2\x80\x9C", "\xD0\x80",   "\xE0\xB8\x80", "\xC3\x80",     "\xF0\x9F\x98\x80",
      "\xDF\xBF",   "\xE0\xA0\x80", "\xEF\xBF\xBD", "\x80",         "\xC0\xAF",
      "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xF5",   "\xC3",
      "\xE2\x82",   "\xFF",         "\xC2\xA0",     "\xC1\xBF",     "\xF0\x8F\xBF\xBF"};
  // Which of the pieces each mix draws from, and one piece in how many is not ASCII: the
  // last two are dense text of two- and three-byte characters, and three-byte ones alone.
  static const std::size_t first[] = {2, 2, 2, 2, 2, 2, 2, 4};
  static const std::size_t kinds[] = {2, 9, 9, 13, 13, 25, 9, 6};
  static const int every[] = {1, 20, 1, 6, 1, 30, 3, 1};
  std::uniform_int_distribution<std::size_t> piece(first[mix], kinds[mix] - 1);
  std::uniform_int_distribution<int> one_in(1, every[mix]);
  std::string text;
  while (text.size() < size) {
    const std::string_view p = mix == 0 || one_in(rng) != 1 ? pieces[rng() % 2] : pieces[piece(rng)];
    text += p;
  }
  text.resize(size);  // may cut a character
  return text;
}

/// Code page text of `size` bytes where about one in `every` is above 0x7F.
std::string random_bytes(std::mt19937& rng, std::size_t size, int every) {
  std::string text(size, 'x');
  for (char& c : text) c = char(rng() % every == 0 ? 0x80 + rng() % 128 : rng() % 128);
  return text;
}

/// What a conversion gives: its result and its output after "kept".
struct Outcome {
  Converted c;
  std::string out;
  bool operator==(const Outcome& o) const {
    return c.used == o.c.used && c.loss == o.c.loss && c.failed == o.c.failed && out == o.out;
  }
};

template <class F>
Outcome outcome(F convert) {
  Outcome o{{}, "kept"};
  o.c = convert(o.out);
  return o;
}

/// Every conversion of `text` (placed at `text.data()`), as one string to compare.
std::string everything(std::string_view text) {
  std::ostringstream all;
  SingleByteCodePage odd(odd_table());
  Cp1252CodePage cp1252;
  for (bool last : {true, false}) {
    for (AnsiCodePage* page : {static_cast<AnsiCodePage*>(&odd), static_cast<AnsiCodePage*>(&cp1252)}) {
      const Outcome to = outcome([&](std::string& out) { return page->to_utf8(text, last, out); });
      const Outcome from = outcome([&](std::string& out) { return page->from_utf8(text, last, out); });
      all << page->id() << last << " to " << to.c.used << ' ' << to.c.loss << ' ' << to.out
          << " from " << from.c.used << ' ' << from.c.loss << ' ' << from.out << '\n';
    }
    const Outcome copy = outcome([&](std::string& out) { return copy_utf8(text, last, out); });
    all << "copy " << copy.c.used << ' ' << copy.c.loss << ' ' << copy.out << '\n';
  }
  all << utf8_first_invalid(text) << is_ascii(text);
  return all.str();
}

TEST(VectorText, EveryLengthAlignmentAndMixGivesWhatThePortableCodeGives) {
  KernelsRestored restore;
  std::mt19937 rng(14);
  // Room for every alignment against the widest vector.
  std::string buffer(400, '\0');
  for (std::size_t size = 0; size <= 300; ++size) {
    for (std::size_t align = 0; align < 32; ++align) {
      const int mix = int((size + align) % 8);
      const std::string text =
          align % 2 == 0 ? random_utf8(rng, size, mix) : random_bytes(rng, size, 1 + mix * 3);
      buffer.replace(align, size, text);
      const std::string_view placed(buffer.data() + align, size);
      use_text_kernels(portable_text_kernels());
      const std::string expected = everything(placed);
      for (const TextKernels* k : vector_kernels()) {
        use_text_kernels(*k);
        ASSERT_EQ(everything(placed), expected)
            << k->name << " size " << size << " align " << align << " mix " << mix;
      }
    }
  }
}

TEST(VectorText, LongTextsAndLossesFarInGiveWhatThePortableCodeGives) {
  KernelsRestored restore;
  std::mt19937 rng(15);
  // The mixes of well-formed text only, dense text among them.
  const int valid_mixes[] = {0, 1, 3, 0, 1, 3, 6, 7};
  for (int mix = 0; mix < 8; ++mix) {
    // Valid text of a mix with one fault far in: a malformed byte, a character beyond
    // the BMP, a byte with no character in the odd code page.
    std::string text = random_utf8(rng, 20000, valid_mixes[mix]);
    text.resize(utf8_whole_length(text));
    for (std::string_view fault : {"", "\xC3(", "\xF0\x9F\x98\x80", "\x80"}) {
      std::string faulty = text;
      faulty.insert(faulty.size() * 3 / 4 - mix, fault);
      const std::string bytes = random_bytes(rng, 20000, 1 + mix * 4) + std::string(fault);
      use_text_kernels(portable_text_kernels());
      const std::string expected = everything(faulty) + everything(bytes);
      for (const TextKernels* k : vector_kernels()) {
        use_text_kernels(*k);
        // Not printed: too long to read.
        ASSERT_TRUE(everything(faulty) + everything(bytes) == expected) << k->name << " mix " << mix;
      }
    }
  }
}

TEST(VectorText, DenseTextWithCharactersOutsideTheCommonRowsNowAndThenGivesWhatThePortableCodeGives) {
  // Letters, signs and punctuation of Windows-1252 that text uses most, and now and then,
  // less often further on, one it holds that the vector code finds no faster way for (an
  // OE, a florin sign, a trademark sign), or at the end one it lacks.
  KernelsRestored restore;
  std::mt19937 rng(16);
  static const std::string_view common[] = {"a", "\xC3\xA9", "\xE2\x82\xAC", "\xE2\x80\x9C",
                                            "b c", "\xC2\xB0", "\xE2\x80\xA6", "\r\n"};
  static const std::string_view rare[] = {"\xC5\x92", "\xC6\x92", "\xE2\x84\xA2"};
  std::string text;
  for (int i = 0; i < 60000; ++i) {
    text += common[rng() % std::size(common)];
    if (rng() % (i < 20000 ? 40 : i < 40000 ? 700 : 9000) == 0) text += rare[rng() % std::size(rare)];
  }
  for (std::string_view last : {"", "\xC4\x80"}) {
    const std::string all = text + std::string(last) + std::string(200, 'z');
    use_text_kernels(portable_text_kernels());
    const std::string expected = everything(all);
    for (const TextKernels* k : vector_kernels()) {
      use_text_kernels(*k);
      ASSERT_TRUE(everything(all) == expected) << k->name;
    }
  }
}

TEST(VectorText, EveryCharacterOfTheBmpIsConvertedOrRefusedAsThePortableCodeDoes) {
  KernelsRestored restore;
  SingleByteCodePage odd(odd_table());
  Cp1252CodePage cp1252;
  AnsiCodePage* const pages[] = {&odd, &cp1252};
  const std::vector<const TextKernels*> kernels = vector_kernels();
  // Dense text of characters of two and three bytes that both code pages hold, before and
  // after the character, or ASCII alone.
  const std::string dense = "\xC3\xA9\xE2\x82\xAC" "ab\xE2\x80\x9C\xD0\x80" "c\xC3\xA9";
  for (char32_t cp = 0x80; cp < 0x10000; ++cp) {
    // At every place of a block of 64 bytes and just past it, with enough after it for the
    // vector code to take it.
    std::string text;
    const bool mixed = cp % 2 == 0;
    while (text.size() < cp % 67) text += mixed ? dense.substr(0, cp % 67 - text.size()) : "z";
    text.resize(utf8_whole_length(text));
    utf8_append(cp, text);  // surrogates too, which are malformed
    while (text.size() < 200) text += mixed ? dense : "y";
    for (AnsiCodePage* page : pages) {
      use_text_kernels(portable_text_kernels());
      const Outcome expected = outcome([&](std::string& out) { return page->from_utf8(text, true, out); });
      for (const TextKernels* k : kernels) {
        use_text_kernels(*k);
        const Outcome got = outcome([&](std::string& out) { return page->from_utf8(text, true, out); });
        ASSERT_TRUE(got == expected) << k->name << " " << page->id() << " U+" << std::hex << unsigned(cp);
      }
    }
  }
}

}  // namespace
}  // namespace nivra
