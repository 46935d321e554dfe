// The kernels on 16 bytes at a time (SSE2). Built with SSE2 even for processors that may
// lack it: the processor is asked before they are chosen.

#include "text/vector.h"

#if defined(__SSE2__)

#include <emmintrin.h>

namespace {

#include "text/vector_kernels.h"

struct Sse2 {
  using reg = __m128i;
  static constexpr std::size_t W = 16;
  static reg load(const void* p) { return _mm_loadu_si128(static_cast<const reg*>(p)); }
  static void store(void* p, reg v) { _mm_storeu_si128(static_cast<reg*>(p), v); }
  static std::uint32_t mask(reg v) { return std::uint32_t(_mm_movemask_epi8(v)); }
  /// How many bits of `m` are set; without the POPCNT instruction, which SSE2 lacks.
  static int bits(std::uint64_t m) {
#if defined(__POPCNT__)
    return __builtin_popcountll(m);
#else
    m = m - (m >> 1 & 0x5555555555555555ull);
    m = (m & 0x3333333333333333ull) + (m >> 2 & 0x3333333333333333ull);
    m = (m + (m >> 4)) & 0x0F0F0F0F0F0F0F0Full;
    return int((m * 0x0101010101010101ull) >> 56);
#endif
  }
  static reg zero() { return _mm_setzero_si128(); }
  static reg set1(int b) { return _mm_set1_epi8(char(b)); }
  static reg or_(reg a, reg b) { return _mm_or_si128(a, b); }
  static reg and_(reg a, reg b) { return _mm_and_si128(a, b); }
  static reg xor_(reg a, reg b) { return _mm_xor_si128(a, b); }
  static reg eq(reg a, reg b) { return _mm_cmpeq_epi8(a, b); }
  /// Signed comparisons.
  static reg lt(reg a, reg b) { return _mm_cmplt_epi8(a, b); }
  static reg gt(reg a, reg b) { return _mm_cmpgt_epi8(a, b); }
  /// Unsigned a >= b.
  static reg ge(reg a, reg b) { return _mm_cmpeq_epi8(_mm_max_epu8(a, b), a); }
  /// The bytes of `cur` moved up by K places, the last K of `before` shifted in.
  template <int K>
  static reg prev(reg cur, reg before) {
    return _mm_or_si128(_mm_slli_si128(cur, K), _mm_srli_si128(before, 16 - K));
  }
  /// SSE2 has no byte shuffle to pack bytes with: the kernels copy the ASCII between
  /// characters instead.
  static constexpr bool PACKS = false;
};

}  // namespace

const nivra::TextKernels* nivra::sse2_text_kernels() { return kernels_of<Sse2>("sse2"); }

#else

const nivra::TextKernels* nivra::sse2_text_kernels() { return nullptr; }

#endif
