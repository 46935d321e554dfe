#pragma once

// The two programs are one procedure with a different Direction, fixed when each
// program is built. Everything that depends on it stands in this table.

#include <cstddef>
#include <string_view>

#include "convert/messages.h"

namespace nivra {

enum class Direction { sign, unsign };

/// The encodings a source file may be in.
enum class Encoding { ansi, utf8, utf16le, utf16be, utf32le, utf32be };

inline constexpr std::string_view UTF8_SIGNATURE = "\xEF\xBB\xBF";

/// A file is signed when it holds at least three bytes and they are the signature.
inline bool is_signed(std::string_view content) { return content.starts_with(UTF8_SIGNATURE); }

struct DirectionTraits {
  std::string_view program;        ///< the name diagnostics begin with
  bool converts_signed;            ///< which files it converts: signed ones, or the others
  std::string_view skip_message;   ///< printed for a file it leaves alone
  std::string_view skip_reason;    ///< and why, on standard error
  std::string_view head;           ///< written before the text
  std::size_t start;               ///< where the text begins in the old content
  Encoding source;
  Encoding target;
};

inline constexpr DirectionTraits SIGN = {
    "nivra-sign", false, MSG_ALREADY_SIGNED, "already signed", UTF8_SIGNATURE, 0, Encoding::ansi, Encoding::utf8};
inline constexpr DirectionTraits UNSIGN = {
    "nivra-unsign", true, MSG_NOT_SIGNED, "not signed", "", 3, Encoding::utf8, Encoding::ansi};

inline const DirectionTraits& traits(Direction d) { return d == Direction::sign ? SIGN : UNSIGN; }

}  // namespace nivra
