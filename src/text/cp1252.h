#pragma once

// Windows-1252 as Windows defines it. The five bytes that the code page leaves
// unassigned (0x81, 0x8D, 0x8F, 0x90, 0x9D) stand for the C1 controls of the same
// value, as Windows' own tables have them, so every byte has a character and a file
// read as Windows-1252 can always be written back byte for byte.

#include "text/single_byte.h"

namespace nivra {

/// The character that byte `b` stands for.
char32_t cp1252_char(unsigned char b);

/// Windows-1252 as a SingleByteTable: no byte without its character.
const SingleByteTable& cp1252_table();

/// Windows-1252: the single-byte code page over cp1252_table().
class Cp1252CodePage final : public SingleByteCodePage {
 public:
  Cp1252CodePage() : SingleByteCodePage(cp1252_table()) {}
};

}  // namespace nivra
