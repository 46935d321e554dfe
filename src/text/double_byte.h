#pragma once

// Code pages of one or two bytes per character (932, 936, 949, 950): a lead byte and the
// byte after it stand for one character.

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

#include "text/code_page.h"
#include "text/code_page_tables.h"

namespace nivra {

/// A code page given by a DoubleByteTable.
class DoubleByteCodePage final : public AnsiCodePage {
 public:
  explicit DoubleByteCodePage(const DoubleByteTable& table);
  unsigned id() const override { return table_.id; }
  Converted to_utf8(std::string_view text, bool last, std::string& out) override;
  Converted from_utf8(std::string_view text, bool last, std::string& out) override;

 private:
  unsigned to_utf8_64(const unsigned char* p, char*& dst, unsigned& lost) const;

  const DoubleByteTable& table_;
  /// For every lead byte, where its row starts in the table's pairs.
  std::array<std::uint32_t, 256> row_start_;
  std::array<std::uint8_t, 256> is_lead_;  ///< 1 for a lead byte
  /// For every BMP character, the byte (below 0x100) or pair (lead << 8 | trail) that
  /// Windows writes for it; 0 for none. Indexed directly: the reverse is a hot path.
  std::vector<std::uint16_t> bytes_of_;
};

}  // namespace nivra
