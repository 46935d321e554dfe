#pragma once

// Conversions of text that arrives in pieces. A conversion takes the bytes it is given
// from their start and appends what they stand for; it stops at the first byte it cannot
// convert exactly, and keeps a character cut at the end of a piece for the next piece.

#include <cstddef>
#include <string>
#include <string_view>

namespace nivra {

/// What the conversion of one piece of text came to.
struct Converted {
  std::size_t used = 0;  ///< bytes of the piece converted and appended, from its start
  /// Offset in the piece of the first byte that cannot be converted exactly, or npos.
  std::size_t loss = std::string_view::npos;
  bool failed = false;  ///< the conversion itself failed, whatever the text

  bool lossless() const { return loss == std::string_view::npos && !failed; }
};

/// The system's ANSI code page: the one conversion that depends on where the programs run.
class AnsiCodePage {
 public:
  virtual ~AnsiCodePage() = default;
  /// The code page's number as Windows gives it: 1252, 932, 65001, ...
  virtual unsigned id() const = 0;
  /// Whether a character may take two bytes: 932, 936, 949 and 950 are the ANSI code pages
  /// that do.
  virtual bool pairs_bytes() const {
    const unsigned n = id();
    return n == 932 || n == 936 || n == 949 || n == 950;
  }
  /// Appends `text`, in this code page, as UTF-8. A byte that stands for no character is a
  /// loss. Unless `last`, a character cut at the end is left unused.
  virtual Converted to_utf8(std::string_view text, bool last, std::string& out) = 0;
  /// Appends UTF-8 `text` in this code page. Malformed UTF-8, and a character this code page
  /// has no exact byte for, is a loss. Unless `last`, a character cut at the end is left unused.
  virtual Converted from_utf8(std::string_view text, bool last, std::string& out) = 0;
};

/// Appends well-formed UTF-8 `text` as it is; malformed UTF-8 is a loss.
Converted copy_utf8(std::string_view text, bool last, std::string& out);

/// Appends UTF-16 `text` as UTF-8; an unpaired surrogate is a loss, and so is an odd byte
/// at the end of the last piece.
Converted utf16_to_utf8(std::string_view text, bool big_endian, bool last, std::string& out);

/// Appends UTF-32 `text` as UTF-8; a unit that is a surrogate or above U+10FFFF is a loss,
/// and so are bytes short of a unit at the end of the last piece.
Converted utf32_to_utf8(std::string_view text, bool big_endian, bool last, std::string& out);

/// Length of the longest start of UTF-8 `text` that does not end inside a character.
std::size_t utf8_whole_length(std::string_view text);

/// The UTF-8 code page (65001): text is kept as it is, and only well-formed UTF-8 passes.
class Utf8CodePage final : public AnsiCodePage {
 public:
  unsigned id() const override { return 65001; }
  Converted to_utf8(std::string_view text, bool last, std::string& out) override {
    return copy_utf8(text, last, out);
  }
  Converted from_utf8(std::string_view text, bool last, std::string& out) override {
    return copy_utf8(text, last, out);
  }
};

}  // namespace nivra
