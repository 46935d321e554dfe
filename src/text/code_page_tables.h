#pragma once

// The compiled-in tables of the Windows ANSI code pages other than 1252 and 65001,
// written by scripts/gen-code-pages.py into code_page_tables.cpp.

#include <cstddef>
#include <cstdint>

#include "text/single_byte.h"

namespace nivra {

/// In DoubleByteTable::single: the byte starts a pair.
inline constexpr char16_t LEAD_BYTE = 0xFFFE;
/// In DoubleByteTable: the byte or pair stands for no character.
inline constexpr char16_t NO_UNIT = 0xFFFF;

/// A character that Windows writes as a byte it refuses to read back (a private-use
/// character standing in for a byte the code page leaves undefined).
struct UnreadByte {
  char16_t ch;
  unsigned char byte;
};

/// A code page of one or two bytes per character. Pairs are stored by rows: one row per
/// lead byte, one cell per trail byte from `trail_first`.
struct DoubleByteTable {
  unsigned id;
  char16_t single[256];          ///< the character of each byte alone, LEAD_BYTE or NO_UNIT
  unsigned char trail_first;     ///< the lowest trail byte
  unsigned trail_span;           ///< cells in a row
  std::uint16_t row[128];        ///< for bytes 0x80 to 0xFF: 1 + the byte's row, 0 if none
  const char16_t* pairs;         ///< the rows, NO_UNIT where a pair stands for nothing
  /// Pairs read as a character that Windows writes with other bytes, sorted.
  const std::uint16_t* unwritten;
  std::size_t unwritten_count;
};

/// One code page's tables: exactly one of `single` and `dbcs` is set.
struct CodePageTables {
  unsigned id;
  const SingleByteTable* single;
  const DoubleByteTable* dbcs;
  const UnreadByte* unread;
  std::size_t unread_count;
};

extern const CodePageTables KNOWN_CODE_PAGES[];
extern const std::size_t KNOWN_CODE_PAGE_COUNT;

}  // namespace nivra
