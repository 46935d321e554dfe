#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/threads.h"
#include "text/code_page.h"

namespace nivra {

/// The system's active ANSI code page, through its own conversion services. Conversions
/// are exact: a byte without a character, and a character without an exact byte (no best
/// fit), are losses. Several threads may convert at once, each with buffers of its own.
class Win32CodePage final : public AnsiCodePage {
 public:
  Win32CodePage();
  unsigned id() const override { return id_; }
  bool pairs_bytes() const override { return pairs_; }
  Converted to_utf8(std::string_view text, bool last, std::string& out) override;
  Converted from_utf8(std::string_view text, bool last, std::string& out) override;

 private:
  /// What one conversion works in, reused by the next.
  struct Scratch {
    std::wstring wide;
    std::wstring back;  ///< s.probe read back
    std::string probe;
  };
  class Borrowed;

  /// Length of the start of `text` that ends on a character boundary.
  std::size_t whole_length(std::string_view text) const;
  /// Offset of the first character of `text` that `code_page` cannot decode.
  std::size_t first_undecodable(unsigned code_page, std::string_view text) const;
  /// Offset of the first character of valid UTF-8 `text` without an exact byte form that
  /// reads back as that character.
  static std::size_t first_unmappable(Scratch& s, std::string_view text);
  /// Whether s.probe, in the ANSI code page, reads back as exactly s.wide.
  static bool reads_back(Scratch& s);
  /// `text` in `code_page` as UTF-16 in s.wide; false when the service failed.
  static bool to_wide(Scratch& s, unsigned code_page, std::string_view text);
  /// Appends s.wide in `code_page` to `out`; false when the service failed. `inexact`
  /// tells whether a character had no exact counterpart.
  static bool from_wide(Scratch& s, unsigned code_page, std::string& out, bool* inexact);

  unsigned id_;
  bool pairs_ = false;
  bool lead_[256] = {};  ///< the lead bytes of a double-byte code page
  Mutex mutex_;          ///< over spare_
  std::vector<std::unique_ptr<Scratch>> spare_;  ///< buffers no conversion uses now
};

}  // namespace nivra
