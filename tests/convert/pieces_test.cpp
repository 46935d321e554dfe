// A file cut into pieces converted at once, held against the same file converted in one
// piece on the in-memory platform: every size of piece over small files of each kind of
// text, random large ones, and faults met while pieces are in flight.

#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "convert/convert_file.h"
#include "convert/messages.h"
#include "convert/output.h"
#include "support/fake_platform.h"
#include "support/test_support.h"
#include "text/code_pages.h"
#include "text/cp1252.h"

namespace nivra::test {
namespace {

using namespace std::string_literals;

struct FileRun {
  std::string result;  ///< the outcome and every name the run left, as one string
  int reads = 0;
};

/// Converts `content` as the file a.c, in pieces of `piece` bytes on `threads` threads (0:
/// in one piece), once `setup` has set the platform up.
FileRun convert(AnsiCodePage& acp, Direction direction, std::string_view content, unsigned threads,
            std::size_t piece, const std::function<void(FakePlatform&)>& setup = {}) {
  FakePlatform fs;
  fs.add_file("a.c", content);
  if (setup) setup(fs);
  Dir root;
  EXPECT_TRUE(fs.open_root("/t", root).ok());
  Budget budget;
  Converter converter(fs, fs, acp, direction, budget);
  converter.pieces(threads, 0, piece);
  converter.write_behind(threads > 1);  // as the walk does, from 4 MiB on
  Neighbours neighbours;
  neighbours.names = {"a.c"};
  const Outcome o = converter.convert_file(root, "a.c", "/t/a.c", neighbours);
  fs.close_dir(root);
  FileRun run{std::to_string(int(o.kind)) + "|" + std::string(o.message) + "|" + o.reason, 0};
  for (const auto& [name, held] : fs.snapshot()) run.result += "|" + name + "=" + held;
  run.reads = fs.calls(Call::read);
  EXPECT_EQ(fs.open_handles(), 0);
  return run;
}

struct TextCase {
  const char* what;
  unsigned code_page;
  Direction direction;
  std::vector<std::string> atoms;  ///< whole characters and line ends the text is made of
  std::string head;                ///< what the file begins with
  std::string bad;                 ///< bytes that make the file refused; "" for none
};

std::vector<TextCase> text_cases() {
  std::vector<TextCase> cases;
  const std::vector<std::string> ends = {"\r\n", "\n", "x", " = 1;", std::string("\0", 1)};
  auto with = [&](std::vector<std::string> atoms) {
    atoms.insert(atoms.end(), ends.begin(), ends.end());
    return atoms;
  };
  cases.push_back({"1252", 1252, Direction::sign, with({"\xE9", "\x80", "\x81", "\xFF"}), "", ""});
  cases.push_back({"1252 from UTF-8", 1252, Direction::sign,
                   with({"\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80"}), "", ""});
  cases.push_back({"to 1252", 1252, Direction::unsign, with({"\xC3\xA9", "\xE2\x82\xAC"}),
                   "\xEF\xBB\xBF", "\xE2\x82" "A"});
  cases.push_back({"to 1252, lacking", 1252, Direction::unsign, with({"\xC3\xA9", "\xE2\x80\x99"}),
                   "\xEF\xBB\xBF", "\xF0\x9F\x98\x80"});
  cases.push_back({"UTF-16 LE", 1252, Direction::sign,
                   {"\xE9\0"s, "\x3D\xD8\x00\xDE"s, "\r\0\n\0"s, "\n\0"s, "\x41\x0A"s, "\xDC\x00"s},
                   "\xFF\xFE", "\x3D\xD8" "a\0"s});
  cases.push_back({"UTF-16 BE", 1252, Direction::sign,
                   {"\0\xE9"s, "\xD8\x3D\xDE\x00"s, "\0\r\0\n"s, "\0\n"s, "\x0A\x41"s, "\x00\xDC"s},
                   "\xFE\xFF", "\xDE\x00"s});
  for (const unsigned id : {932u, 936u, 949u, 950u}) {
    const auto page = make_code_page(id);
    const CodePageSample s = code_page_sample(*page);
    const std::string lead = s.pair.substr(0, 1);
    cases.push_back({"double-byte", id, Direction::sign,
                     with({s.pair, s.text.substr(2, 2), s.text.substr(4, 2), "\x5C"}), "",
                     lead + "\n"});
    cases.push_back({"double-byte, undefined", id, Direction::sign, with({s.pair, "a"}), "",
                     s.undefined_pair});
    std::string utf8;
    page->to_utf8(s.pair, true, utf8);
    cases.push_back({"to double-byte", id, Direction::unsign, with({utf8}), "\xEF\xBB\xBF",
                     s.unholdable});
  }
  return cases;
}

/// Text of `c` with `atoms` atoms chosen by `rng`, and its bad bytes before atom `bad_at`
/// and atom `bad_again`.
std::string text_of(const TextCase& c, std::mt19937& rng, std::size_t atoms, std::size_t bad_at,
                    std::size_t bad_again = SIZE_MAX) {
  std::string text = c.head;
  for (std::size_t i = 0; i < atoms; ++i) {
    if (i == bad_at || i == bad_again) text += c.bad;
    text += c.atoms[rng() % c.atoms.size()];
  }
  return text;
}

TEST(Pieces, EveryCutOfSmallFilesConvertsAsOnePiece) {
  std::mt19937 rng(932);
  for (const TextCase& c : text_cases()) {
    const auto page = make_code_page(c.code_page);
    for (const bool bad : {false, true}) {
      if (bad && c.bad.empty()) continue;
      SCOPED_TRACE(std::string(c.what) + " " + std::to_string(c.code_page) + (bad ? ", bad" : ""));
      const std::string text = text_of(c, rng, 14, bad ? 7 : SIZE_MAX, bad ? 11 : SIZE_MAX);
      const FileRun whole = convert(*page, c.direction, text, 0, 0);
      EXPECT_EQ(whole.result.starts_with("2|"), bad) << whole.result;
      for (std::size_t piece = 1; piece <= text.size(); ++piece)
        for (const unsigned threads : {2u, 3u})
          ASSERT_EQ(convert(*page, c.direction, text, threads, piece).result, whole.result)
              << "pieces of " << piece << ", " << threads << " threads";
    }
  }
}

TEST(Pieces, RandomLargeFilesConvertAsOnePiece) {
  std::mt19937 rng(1252);
  for (const TextCase& c : text_cases()) {
    const auto page = make_code_page(c.code_page);
    for (int round = 0; round < 2; ++round) {
      SCOPED_TRACE(std::string(c.what) + " " + std::to_string(c.code_page) + ", round " +
                   std::to_string(round));
      const bool bad = round == 1 && !c.bad.empty();
      const std::string text = text_of(c, rng, 60000, bad ? 20000 + rng() % 30000 : SIZE_MAX);
      const FileRun whole = convert(*page, c.direction, text, 0, 0);
      const std::size_t piece = 1000 + rng() % 20000;
      const FileRun cut = convert(*page, c.direction, text, 2 + rng() % 3, piece);
      ASSERT_EQ(cut.result, whole.result) << "pieces of " << piece;
      if (!bad) {
        EXPECT_GT(cut.reads, int(text.size() / piece) - 1) << "cut into pieces";
      }
    }
  }
  // Written behind too, in pieces of the programs' own size.
  Cp1252CodePage cp1252;
  const std::string text = text_of(text_cases()[0], rng, 3000000, 2000000);
  ASSERT_GT(text.size(), WriteBehind::FROM_BYTES);
  EXPECT_EQ(convert(cp1252, Direction::sign, text, 2, Pieces::PIECE_BYTES).result,
            convert(cp1252, Direction::sign, text, 0, 0).result);
}

// A read that fails, or a file cut short by another program, while earlier pieces are in
// flight: a piece before it that cannot be converted is reported, as converting in turn
// reports it; otherwise the fault is, and the file stays as it was.
TEST(Pieces, FaultsBehindPiecesInFlight) {
  Cp1252CodePage cp1252;
  const std::string text = "\xEF\xBB\xBF" + repeat("caf\xC3\xA9\r\n", 4) + "\xE2\x82" + "A" +
                           repeat("int x;\n", 20);
  const FileRun lossy = convert(cp1252, Direction::unsign, text, 0, 0);
  const std::string place = "line 5, column 1 (byte 31)";
  const std::size_t at = lossy.result.find(place);
  ASSERT_NE(at, std::string::npos) << lossy.result;
  // Where the text before it cannot be read again, the byte alone.
  const std::string unplaced = std::string(lossy.result).replace(at, place.size(), "byte 31");
  int unplaced_runs = 0;
  // The lossy piece is the fifth read.
  for (int nth = 6; nth < 12; ++nth) {
    SCOPED_TRACE("read " + std::to_string(nth));
    const auto fault = [&](FakePlatform& fs) { fs.inject(fail(Call::read, nth, os_error(EIO), true)); };
    const std::string result = convert(cp1252, Direction::unsign, text, 3, 8, fault).result;
    EXPECT_TRUE(result == lossy.result || result == unplaced) << result;
    unplaced_runs += result == unplaced;
  }
  EXPECT_GT(unplaced_runs, 0);
  const std::string clean = "\xEF\xBB\xBF" + repeat("caf\xC3\xA9\r\n", 20);
  const FileRun failed = convert(cp1252, Direction::unsign, clean, 3, 8, [](FakePlatform& fs) {
    fs.inject(fail(Call::read, 9, os_error(EIO), true));
  });
  // Reported as the read it is, not as a failed write.
  EXPECT_TRUE(failed.result.starts_with("2|" + std::string(MSG_READ_FAILED))) << failed.result;
  EXPECT_TRUE(failed.result.ends_with("|a.c=0644 " + clean)) << failed.result;
  const std::string theirs = clean.substr(0, 40);
  const FileRun cut_short = convert(cp1252, Direction::unsign, clean, 3, 8, [&](FakePlatform& fs) {
    fs.meanwhile(Call::read, 7, [&fs, &theirs] { fs.change("a.c", theirs); });
  });
  EXPECT_TRUE(cut_short.result.starts_with("2|" + std::string(MSG_CHANGED))) << cut_short.result;
  EXPECT_TRUE(cut_short.result.ends_with("|a.c=0644 " + theirs)) << cut_short.result;
}

}  // namespace
}  // namespace nivra::test
