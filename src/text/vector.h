#pragma once

// The conversions' kernels: one table of them per instruction set, and a portable one that
// runs anywhere, chosen once for the processor at hand. A vector kernel stops where it is
// unsure and leaves the rest to the code that called it, which goes on one character at a
// time; the portable table is the reference the others are held against.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace nivra {

/// A code page of one byte per character, in the forms the kernels read.
struct ByteForms {
  /// For each byte, its UTF-8 form in the low three bytes (memory order) and its length
  /// in the top byte; length 0 where the kernels leave the byte to their caller.
  std::uint32_t form[256];
  /// The byte of each code point of the BMP plus 0x100, or 0 when the code page has none.
  std::uint16_t byte[0x10000];

  /// Rows of 64 characters whose bytes the vector unit looks up itself, without going
  /// through `byte`: the characters of a row have the same UTF-8 bytes but the last, whose
  /// low six bits are the column.
  static constexpr unsigned ROWS = 4;
  struct Row {
    /// The byte of each column, 0 where the code page has none: the sixteen of each
    /// quarter of the row twice, once for each half of a 32-byte vector.
    alignas(32) unsigned char quarter[4][32];
    /// The byte before the last, 32 times, and for characters of three bytes the first
    /// (else 0).
    alignas(32) unsigned char before_last[32];
    alignas(32) unsigned char first[32];
  };
  Row rows[ROWS];
  unsigned row_count = 0;
};

/// Chooses the rows of `f` from its `byte` table: the row of the euro sign, which text of
/// every language uses, then those that hold the most characters.
void choose_byte_rows(ByteForms& f);

/// The kernels of one instruction set. Each returns how much of the input it took; it
/// stops early at a byte it leaves to its caller.
struct TextKernels {
  const char* name;  ///< "portable", "sse2" or "avx2"
  /// Length of the run of bytes below 0x80 at the start.
  std::size_t (*ascii_prefix)(const unsigned char* p, std::size_t n);
  /// How many bytes are above 0x7F.
  std::size_t (*count_high)(const unsigned char* p, std::size_t n);
  /// Length of a start of the text that is well-formed UTF-8 and ends between two
  /// characters; the caller goes on from there.
  std::size_t (*utf8_valid_prefix)(const unsigned char* p, std::size_t n);
  /// Code page -> UTF-8 into `dst`, which has `room` bytes; `*written` gets the length.
  std::size_t (*bytes_to_utf8)(const ByteForms& f, const unsigned char* p, std::size_t n,
                               char* dst, std::size_t room, std::size_t* written);
  /// UTF-8 -> code page, checked on the way, into `dst`, which has room for n + 64 bytes.
  std::size_t (*utf8_to_bytes)(const ByteForms& f, const unsigned char* p, std::size_t n,
                               char* dst, std::size_t* written);
};

/// The kernels every conversion uses: the best this processor runs, or those that
/// NIVRA_TEXT_KERNELS (portable, sse2 or avx2) names in the environment where the
/// processor runs them.
const TextKernels& text_kernels();

/// Makes every conversion use `kernels`, for tests that compare the tables.
void use_text_kernels(const TextKernels& kernels);

/// The kernels this processor runs best, whatever the environment asks.
const TextKernels& best_text_kernels();

/// The kernels that run on any processor.
const TextKernels& portable_text_kernels();

/// The table called `name` where this build has it and this processor runs it, or null.
const TextKernels* text_kernels_named(std::string_view name);

/// Every table this processor runs, the portable one first.
std::vector<const TextKernels*> runnable_text_kernels();

/// The tables of each instruction set, whether or not the processor runs them; null
/// where the build has none.
const TextKernels* sse2_text_kernels();
const TextKernels* avx2_text_kernels();

}  // namespace nivra
