#pragma once

// Windows-1252 as Windows defines it. The five bytes that the code page leaves
// unassigned (0x81, 0x8D, 0x8F, 0x90, 0x9D) stand for the C1 controls of the same
// value, as Windows' own tables have them, so every byte has a character and a file
// read as Windows-1252 can always be written back byte for byte.

#include <cstddef>
#include <string>
#include <string_view>

namespace nivra {

/// The character that byte `b` stands for.
char32_t cp1252_char(unsigned char b);

/// The byte that stands for `cp`, or -1 when Windows-1252 has none.
int cp1252_byte(char32_t cp);

/// Appends `text` converted from Windows-1252 to UTF-8 to `out`.
void cp1252_to_utf8(std::string_view text, std::string& out);

/// Offset of the first byte of UTF-8 `text` that is malformed or starts a character
/// that Windows-1252 cannot hold, or npos.
std::size_t utf8_first_not_cp1252(std::string_view text);

/// Appends UTF-8 `text`, which utf8_first_not_cp1252() accepts, as Windows-1252 to `out`.
void utf8_to_cp1252(std::string_view text, std::string& out);

}  // namespace nivra
