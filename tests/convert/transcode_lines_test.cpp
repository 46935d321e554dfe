// transcode_lines and the output it goes through (convert/output: the block writer, in
// turn or written behind) against a platform that records every write and can make writes
// short, interrupted or failing.

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

#include "convert/transcode_lines.h"
#include "convert/output.h"
#include "support/test_support.h"
#include "text/cp1252.h"

namespace nivra {
namespace {

/// Writes are recorded and shaped by the test.
class WriteRecorder final : public Output {
 public:
  std::vector<std::string> writes;  ///< what each successful call stored
  std::size_t calls = 0;
  std::size_t max_put = SIZE_MAX;   ///< at most this many bytes per call
  bool interrupt_every_other = false;
  std::size_t fail_at_call = SIZE_MAX;  ///< this call and every later one fail
  bool stall = false;                   ///< store nothing and report no error

  std::string written() const {
    std::string all;
    for (const auto& w : writes) all += w;
    return all;
  }

  Status write(const char* buf, std::size_t n, std::size_t& put) override {
    const std::size_t call = calls++;
    if (call >= fail_at_call) return Status{Fault::other, 28};
    if (interrupt_every_other && call % 2 == 0) return Status{Fault::interrupted, 4};
    put = stall ? 0 : std::min(n, max_put);
    writes.emplace_back(buf, put);
    return Status{};
  }
};

Cp1252CodePage cp1252;

/// Whether blocks are written on a thread of their own (see WriteBehind).
bool behind = false;

/// Runs transcode_lines from `source` to `target`; returns what finish() reports.
Status transcode_from(WriteRecorder& p, std::string_view content, Encoding source,
                      Encoding target, std::size_t start = 0) {
  std::string buffer;
  Budget budget;
  std::optional<WriteBehind> thread;
  if (behind) thread.emplace(p, budget);
  EXPECT_TRUE(!behind || thread->running());
  BlockWriter out(p, buffer, behind ? &*thread : nullptr);
  const Converted c = transcode_lines(Transcoder{cp1252, source, target},
                                      content.substr(std::min(start, content.size())), true, out);
  const Status s = out.finish();
  return c.lossless() ? s : Status{Fault::other, -1};
}

/// Runs transcode_lines with the direction's code pages; returns what finish() reports.
Status transcode(WriteRecorder& p, std::string_view content, bool sign, std::size_t start = 0) {
  return sign ? transcode_from(p, content, Encoding::ansi, Encoding::utf8, start)
              : transcode_from(p, content, Encoding::utf8, Encoding::ansi, start);
}

TEST(TranscodeLines, LineEndsAndNulBytesPassThroughByteForByte) {
  const std::string ansi("a\r\nb\rc\n\n\0x\0\n\xE9\0\r\n", 16);
  const std::string utf8("a\r\nb\rc\n\n\0x\0\n\xC3\xA9\0\r\n", 17);
  WriteRecorder sign, unsign;
  ASSERT_TRUE(transcode(sign, ansi, true).ok());
  ASSERT_TRUE(transcode(unsign, "\xEF\xBB\xBF" + utf8, false, 3).ok());
  EXPECT_EQ(sign.written(), utf8);
  EXPECT_EQ(unsign.written(), ansi);
  WriteRecorder nothing;  // from the end on: not even an empty write
  ASSERT_TRUE(transcode(nothing, "\xEF\xBB\xBF", false, 3).ok());
  EXPECT_EQ(nothing.calls, 0u);
}

TEST(TranscodeLines, LinesFarLongerThan32KiBConvertWhole) {
  const std::size_t n = 200000;
  WriteRecorder sign, unsign;
  ASSERT_TRUE(transcode(sign, std::string(n, '\xE9') + "\n" + std::string(n, 'a'), true).ok());
  EXPECT_EQ(sign.written(), test::repeat("\xC3\xA9", n) + "\n" + std::string(n, 'a'));
  ASSERT_TRUE(transcode(unsign, test::repeat("\xE2\x82\xAC", n), false).ok());
  EXPECT_EQ(unsign.written(), std::string(n, '\x80'));
}

// Groups are cut after a line feed at or beyond 256 KiB; characters of two and three
// bytes and line feeds are put just before, at and after every such place.
TEST(TranscodeLines, GroupBoundariesNeverSplitACharacter) {
  const std::size_t group = std::size_t(256) << 10;
  std::mt19937 rng(1252);
  for (int round = 0; round < 40; ++round) {
    std::string utf8, ansi;
    while (utf8.size() < 3 * group + 64) {
      const std::size_t to_edge = group - utf8.size() % group;
      const unsigned pick = to_edge < 8 ? rng() % 4 : (rng() % 64 == 0 ? 3 : rng() % 3);
      if (pick == 0) { utf8 += "\xC3\xA9"; ansi += '\xE9'; }
      else if (pick == 1) { utf8 += "\xE2\x80\x99"; ansi += '\x92'; }
      else if (pick == 2) { utf8 += to_edge < 8 ? "\n" : "ab"; ansi += to_edge < 8 ? "\n" : "ab"; }
      else { utf8 += "\r\n"; ansi += "\r\n"; }
    }
    WriteRecorder unsign, sign;
    ASSERT_TRUE(transcode(unsign, utf8, false).ok());
    ASSERT_EQ(unsign.written(), ansi) << "round " << round;
    ASSERT_TRUE(transcode(sign, ansi, true).ok());
    ASSERT_EQ(sign.written(), utf8) << "round " << round;
  }
}

TEST(TranscodeLines, WritesLargeBlocksAroundTheMiBBoundary) {
  // Written behind, the writes are the same calls with the same bytes.
  for (const bool on_a_thread : {false, true}) {
    behind = on_a_thread;
    SCOPED_TRACE(on_a_thread ? "written behind" : "written in turn");
    const std::size_t block = BlockWriter::BLOCK_BYTES;
    for (std::size_t size : {block - 1, block, block + 1, 3 * block + 7}) {
      // Short lines: one write per line would be tens of thousands of writes.
      std::string text = test::repeat("int x;\n", size / 7) + std::string(size % 7, 'y');
      WriteRecorder p;
      ASSERT_TRUE(transcode(p, text, true).ok());
      EXPECT_EQ(p.written(), text) << size;
      EXPECT_LE(p.writes.size(), size / block + 2) << size;
      for (const auto& w : p.writes) EXPECT_FALSE(w.empty()) << size;
    }
  }
  behind = false;
}

TEST(BlockWriter, ShortAndInterruptedWritesAreRepeatedUntilAllIsStored) {
  // Written behind, the writes are the same calls with the same bytes.
  for (const bool on_a_thread : {false, true}) {
    behind = on_a_thread;
    SCOPED_TRACE(on_a_thread ? "written behind" : "written in turn");
    std::string text;
    for (int i = 0; i < 300000; ++i) text += char('a' + i % 26);
    WriteRecorder p;
    p.max_put = 4093;
    p.interrupt_every_other = true;
    ASSERT_TRUE(transcode(p, text, true).ok());
    EXPECT_EQ(p.written(), text);
  }
  behind = false;
}

TEST(BlockWriter, TheFirstFailureSticks) {
  // Written behind, the writes are the same calls with the same bytes.
  for (const bool on_a_thread : {false, true}) {
    behind = on_a_thread;
    SCOPED_TRACE(on_a_thread ? "written behind" : "written in turn");
    const std::string text = test::repeat("line\n", 1000000);  // about five blocks
    WriteRecorder p;
    p.fail_at_call = 2;
    const Status s = transcode(p, text, true);
    EXPECT_EQ(s.fault, Fault::other);
    EXPECT_EQ(s.code, 28);
    EXPECT_EQ(p.calls, 3u);  // two that stored, the failing one, and no attempt after it
    EXPECT_EQ(p.written(), text.substr(0, p.written().size()));
  }
  behind = false;
}

TEST(BlockWriter, AWriteThatStoresNothingStopsAsStalled) {
  // Written behind, the writes are the same calls with the same bytes.
  for (const bool on_a_thread : {false, true}) {
    behind = on_a_thread;
    SCOPED_TRACE(on_a_thread ? "written behind" : "written in turn");
    WriteRecorder p;
    p.stall = true;
    EXPECT_EQ(transcode(p, "abc\n", true).fault, Fault::stalled);
    EXPECT_EQ(p.calls, 1u);
  }
  behind = false;
}

// A 0x0A byte that is half of another code unit (U+0A41, U+010A) ends no line, and a
// group never ends between the two units of a surrogate pair. Leads of 0 and 7 units put
// the first 0x0A byte past a group's size in either byte of a unit.
TEST(TranscodeLines, Utf16GroupsEndOnlyAfterAWholeLineFeedUnit) {
  const std::string utf8_line = "\xE0\xA9\x81\xC4\x8A \xF0\x9D\x84\x9E caf\xC3\xA9\n";
  const std::string le_line("\x41\x0A\x0A\x01 \0\x34\xD8\x1E\xDD \0c\0a\0f\0\xE9\0\n\0", 22);
  std::string be_line;
  for (std::size_t i = 0; i < le_line.size(); i += 2) be_line += {le_line[i + 1], le_line[i]};
  for (const std::size_t lead : {0, 7}) {
    for (const bool big_endian : {false, true}) {
      const std::string text =
          test::repeat(big_endian ? std::string("\0x", 2) : std::string("x\0", 2), lead) +
          test::repeat(big_endian ? be_line : le_line, 30000);
      WriteRecorder p;
      ASSERT_TRUE(transcode_from(p, text, big_endian ? Encoding::utf16be : Encoding::utf16le,
                                 Encoding::utf8)
                      .ok());
      EXPECT_TRUE(p.written() == test::repeat("x", lead) + test::repeat(utf8_line, 30000))
          << (big_endian ? "big" : "little") << "-endian, lead " << lead;
    }
  }
}

}  // namespace
}  // namespace nivra
