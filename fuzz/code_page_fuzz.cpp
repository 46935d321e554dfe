// libFuzzer target: arbitrary bytes through every ANSI code page, whole and cut in two.
// The first byte picks the code page, the second where the text is cut. Whatever the
// bytes: the two pieces give what the whole gives, with the loss at the same offset; what
// is read is well-formed UTF-8, written back in bytes that read the same again.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "text/code_pages.h"
#include "text/unicode.h"

namespace {

using namespace nivra;

constexpr unsigned IDS[] = {874,  932,  936,  949,  950,  1250, 1251, 1252,
                            1253, 1254, 1255, 1256, 1257, 1258, 65001};

void check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "property broken: %s\n", what);
  std::abort();
}

using Direction = Converted (AnsiCodePage::*)(std::string_view, bool, std::string&);

/// Converts `text` in two pieces cut at `cut`, as a file read in two blocks would be.
Converted in_two(AnsiCodePage& page, Direction convert, std::string_view text, std::size_t cut,
                 std::string& out) {
  const Converted first = (page.*convert)(text.substr(0, cut), false, out);
  check(first.used <= cut, "more used than given");
  if (!first.lossless()) return first;
  Converted rest = (page.*convert)(text.substr(first.used), true, out);
  rest.used += first.used;
  if (rest.loss != std::string_view::npos) rest.loss += first.used;
  return rest;
}

/// The whole and the two pieces agree.
Converted both_ways(AnsiCodePage& page, Direction convert, std::string_view text,
                    std::size_t cut, std::string& out) {
  const Converted whole = (page.*convert)(text, true, out);
  std::string pieces;
  const Converted cut_up = in_two(page, convert, text, cut, pieces);
  check(pieces == out, "pieces give other text than the whole");
  check(cut_up.loss == whole.loss && cut_up.used == whole.used, "pieces stop elsewhere");
  check(whole.lossless() ? whole.used == text.size() : whole.used == whole.loss,
        "used and loss disagree");
  return whole;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  // Made once each: a double-byte code page builds its reverse table when made.
  static std::unique_ptr<AnsiCodePage> pages[std::size(IDS)];
  auto& page = pages[data[0] % std::size(IDS)];
  if (!page) page = make_code_page(IDS[data[0] % std::size(IDS)]);
  const std::string_view text(reinterpret_cast<const char*>(data) + 2, size - 2);
  const std::size_t cut = text.empty() ? 0 : data[1] % (text.size() + 1);

  std::string utf8;
  const Converted read = both_ways(*page, &AnsiCodePage::to_utf8, text, cut, utf8);
  check(utf8_first_invalid(utf8) == std::string_view::npos, "read gives malformed UTF-8");
  std::string bytes;
  const Converted written =
      both_ways(*page, &AnsiCodePage::from_utf8, utf8, cut % (utf8.size() + 1), bytes);
  check(written.lossless(), "what was read cannot be written");
  if (read.lossless()) {
    std::string again;
    page->to_utf8(bytes, true, again);
    check(again == utf8, "written bytes read as other text");
  }
  // The input as UTF-8: what a code page writes, it reads back as the same text.
  std::string from_text;
  const Converted w = both_ways(*page, &AnsiCodePage::from_utf8, text, cut, from_text);
  std::string back;
  if (page->to_utf8(from_text, true, back).lossless())
    check(back == text.substr(0, w.used), "written bytes read as other text");
  return 0;
}
