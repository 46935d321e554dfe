// The kernels on 32 bytes at a time (AVX2), built with AVX2 and chosen only where the
// processor has it and the system saves its registers.

#include "text/vector.h"

#if defined(__AVX2__)

#include <immintrin.h>

namespace {

#include "text/vector_kernels.h"

struct Avx2 {
  using reg = __m256i;
  static constexpr std::size_t W = 32;
  static reg load(const void* p) { return _mm256_loadu_si256(static_cast<const reg*>(p)); }
  static void store(void* p, reg v) { _mm256_storeu_si256(static_cast<reg*>(p), v); }
  static std::uint32_t mask(reg v) { return std::uint32_t(_mm256_movemask_epi8(v)); }
  /// How many bits of `m` are set (every processor with AVX2 has POPCNT).
  static int bits(std::uint64_t m) { return __builtin_popcountll(m); }
  static reg zero() { return _mm256_setzero_si256(); }
  static reg set1(int b) { return _mm256_set1_epi8(char(b)); }
  static reg or_(reg a, reg b) { return _mm256_or_si256(a, b); }
  static reg and_(reg a, reg b) { return _mm256_and_si256(a, b); }
  static reg xor_(reg a, reg b) { return _mm256_xor_si256(a, b); }
  static reg eq(reg a, reg b) { return _mm256_cmpeq_epi8(a, b); }
  /// Signed comparisons.
  static reg lt(reg a, reg b) { return _mm256_cmpgt_epi8(b, a); }
  static reg gt(reg a, reg b) { return _mm256_cmpgt_epi8(a, b); }
  /// Unsigned a >= b.
  static reg ge(reg a, reg b) { return _mm256_cmpeq_epi8(_mm256_max_epu8(a, b), a); }
  /// The bytes of `cur` moved up by K places, the last K of `before` shifted in.
  template <int K>
  static reg prev(reg cur, reg before) {
    return _mm256_alignr_epi8(cur, _mm256_permute2x128_si256(before, cur, 0x21), 16 - K);
  }
  /// Where each of the 32 bytes of `c0` starts a character, the character's code point,
  /// given the bytes one and two places on.
  static void code_points(reg c0, reg c1, reg c2, std::uint16_t* out) {
    store(out, code_points16(_mm256_cvtepu8_epi16(_mm256_castsi256_si128(c0)),
                             _mm256_cvtepu8_epi16(_mm256_castsi256_si128(c1)),
                             _mm256_cvtepu8_epi16(_mm256_castsi256_si128(c2))));
    store(out + 16, code_points16(_mm256_cvtepu8_epi16(_mm256_extracti128_si256(c0, 1)),
                                  _mm256_cvtepu8_epi16(_mm256_extracti128_si256(c1, 1)),
                                  _mm256_cvtepu8_epi16(_mm256_extracti128_si256(c2, 1))));
  }
  static reg code_points16(reg a, reg b, reg c) {
    const reg six = _mm256_set1_epi16(0x3F);
    const reg b6 = _mm256_and_si256(b, six), c6 = _mm256_and_si256(c, six);
    const reg two =
        _mm256_or_si256(_mm256_slli_epi16(_mm256_and_si256(a, _mm256_set1_epi16(0x1F)), 6), b6);
    // The shift by 12 keeps the lead byte's low four bits only.
    const reg three = _mm256_or_si256(
        _mm256_or_si256(_mm256_slli_epi16(a, 12), _mm256_slli_epi16(b6, 6)), c6);
    const reg is_three = _mm256_cmpgt_epi16(a, _mm256_set1_epi16(0xDF));
    const reg is_ascii = _mm256_cmpgt_epi16(_mm256_set1_epi16(0x80), a);
    return _mm256_blendv_epi8(_mm256_blendv_epi8(two, three, is_three), a, is_ascii);
  }
};

}  // namespace

const nivra::TextKernels* nivra::avx2_text_kernels() { return kernels_of<Avx2>("avx2"); }

#else

const nivra::TextKernels* nivra::avx2_text_kernels() { return nullptr; }

#endif
