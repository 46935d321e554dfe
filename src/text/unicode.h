#pragma once

// Strict UTF-8 and UTF-16, as the Unicode standard defines them: no overlong forms,
// no encoded surrogates, nothing above U+10FFFF, no truncated sequences.

#include <cstddef>
#include <string>
#include <string_view>

#include "text/scalar.h"

namespace nivra {

/// Appends the UTF-8 form of code point `cp` to `out`.
void utf8_append(char32_t cp, std::string& out);

/// Offset of the first byte of `text` that is not part of well-formed UTF-8, or npos.
std::size_t utf8_first_invalid(std::string_view text);

/// True when `text` holds no byte above 0x7F.
bool is_ascii(std::string_view text);

/// Offset of the first code unit (in bytes) of UTF-16 `text` that is not well-formed:
/// an unpaired surrogate, or an odd byte at the end. npos when all of it is.
std::size_t utf16_first_invalid(std::string_view text, bool big_endian);

/// Appends well-formed UTF-16 `text` converted to UTF-8 to `out`.
void utf16_to_utf8(std::string_view text, bool big_endian, std::string& out);

}  // namespace nivra
