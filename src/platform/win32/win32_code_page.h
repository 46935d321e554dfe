#pragma once

#include <string>

#include "text/code_page.h"

namespace nivra {

/// The system's active ANSI code page, through its own conversion services. Conversions
/// are exact: a byte without a character, and a character without an exact byte (no best
/// fit), are losses.
class Win32CodePage final : public AnsiCodePage {
 public:
  Win32CodePage();
  unsigned id() const override { return id_; }
  Converted to_utf8(std::string_view text, bool last, std::string& out) override;
  Converted from_utf8(std::string_view text, bool last, std::string& out) override;

 private:
  /// Length of the start of `text` that ends on a character boundary.
  std::size_t whole_length(std::string_view text) const;
  /// Offset of the first character of `text` that `code_page` cannot decode.
  std::size_t first_undecodable(unsigned code_page, std::string_view text) const;
  /// Offset of the first character of valid UTF-8 `text` without an exact byte form.
  std::size_t first_unmappable(std::string_view text);
  /// `text` in `code_page` as UTF-16 in wide_; false when the service failed.
  bool to_wide(unsigned code_page, std::string_view text);
  /// Appends wide_ in `code_page` to `out`; false when the service failed. `inexact` tells
  /// whether a character had no exact counterpart.
  bool from_wide(unsigned code_page, std::string& out, bool* inexact);

  unsigned id_;
  bool lead_[256] = {};  ///< the lead bytes of a double-byte code page
  std::wstring wide_;    ///< reused by every conversion
  std::string probe_;
};

}  // namespace nivra
