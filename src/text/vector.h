#pragma once

// The conversions' vector instructions, chosen once for the processor at hand. Every
// kernel stops where it is unsure and leaves the rest to the portable code, which stays
// the reference: forcing it gives the same results, only slower.

#include <cstddef>
#include <cstdint>

namespace nivra {

/// A code page of one byte per character, in the forms the kernels read.
struct ByteForms {
  /// For each byte, its UTF-8 form in the low three bytes (memory order) and its length
  /// in the top byte; length 0 where the kernels leave the byte to the portable code.
  std::uint32_t form[256];
  /// The byte of each code point of the BMP plus 0x100, or 0 when the code page has none.
  std::uint16_t byte[0x10000];
};

/// The kernels of one instruction set. Each returns how much of the input it took; it
/// stops early at a byte it leaves to the portable code.
struct TextKernels {
  const char* name;
  /// Length of the run of bytes below 0x80 at the start.
  std::size_t (*ascii_prefix)(const unsigned char* p, std::size_t n);
  /// How many bytes are above 0x7F.
  std::size_t (*count_high)(const unsigned char* p, std::size_t n);
  /// Length of a start of the text that is well-formed UTF-8 and ends between two
  /// characters; the portable code goes on from there.
  std::size_t (*utf8_valid_prefix)(const unsigned char* p, std::size_t n);
  /// Code page -> UTF-8 into `dst`, which has `room` bytes; `*written` gets the length.
  std::size_t (*bytes_to_utf8)(const ByteForms& f, const unsigned char* p, std::size_t n,
                               char* dst, std::size_t room, std::size_t* written);
  /// UTF-8 -> code page, checked on the way, into `dst`, which has room for n + 64 bytes.
  std::size_t (*utf8_to_bytes)(const ByteForms& f, const unsigned char* p, std::size_t n,
                               char* dst, std::size_t* written);
};

/// The kernels for this processor, or nullptr when the portable code is to be used: no
/// vector unit, force_portable_text(true), or NIVRA_PORTABLE_TEXT=1 in the environment.
const TextKernels* text_kernels();

/// Makes every conversion use the portable code (true) or the vector code where the
/// processor has it (false), for tests that compare the two.
void force_portable_text(bool portable);

/// Makes every conversion use `kernels` (nullptr: the portable code), for tests that go
/// over each instruction set the processor has.
void use_text_kernels(const TextKernels* kernels);

/// The kernels this processor runs best, forced or not; nullptr where it has none.
const TextKernels* best_text_kernels();

/// The kernels of each instruction set; nullptr where the build has none.
const TextKernels* sse2_text_kernels();
const TextKernels* avx2_text_kernels();

}  // namespace nivra
