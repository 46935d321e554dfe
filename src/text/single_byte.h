#pragma once

// Code pages of one byte per character: bytes below 0x80 are ASCII, and a table gives the
// character of each byte above.

#include <array>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "text/code_page.h"

namespace nivra {

struct ByteForms;

/// Marks a byte that stands for no character in a SingleByteTable.
inline constexpr char32_t NO_CHARACTER = 0xFFFFFFFF;

struct SingleByteTable {
  unsigned id;             ///< the code page's number as Windows gives it
  char32_t high[128];      ///< the character of bytes 0x80 to 0xFF, or NO_CHARACTER
};

/// A code page given by a SingleByteTable.
class SingleByteCodePage : public AnsiCodePage {
 public:
  explicit SingleByteCodePage(const SingleByteTable& table);
  unsigned id() const override { return table_.id; }
  Converted to_utf8(std::string_view text, bool last, std::string& out) override;
  Converted from_utf8(std::string_view text, bool last, std::string& out) override;

  /// The byte of `cp`, or -1 when the code page has none.
  int byte_of(char32_t cp) const;

 private:
  const SingleByteTable& table_;
  std::vector<std::pair<char32_t, unsigned char>> reverse_;  ///< sorted by character
  std::shared_ptr<const ByteForms> forms_;  ///< the tables of the vector code
};

}  // namespace nivra
