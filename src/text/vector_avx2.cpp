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
  /// Where each of the 32 bytes of `c0` starts a character of two or three bytes, the
  /// character's code point, given the bytes one and two places on; anything elsewhere.
  /// Each half of the code point is made a byte at a time.
  static void code_points(reg c0, reg c1, reg c2, std::uint16_t* out) {
    const reg low6 = _mm256_set1_epi8(0x3F);
    const reg t1 = _mm256_and_si256(c1, low6);
    const reg top2 = _mm256_set1_epi8(char(0xC0));
    // Two bytes: 110abcde 10fghijk is 00000abc defghijk.
    const reg low_two = _mm256_or_si256(_mm256_and_si256(_mm256_slli_epi16(c0, 6), top2), t1);
    const reg high_two = _mm256_and_si256(_mm256_srli_epi16(c0, 2), _mm256_set1_epi8(0x07));
    // Three bytes: 1110abcd 10efghij 10klmnop is abcdefgh ijklmnop.
    const reg low_three = _mm256_or_si256(_mm256_and_si256(_mm256_slli_epi16(c1, 6), top2),
                                          _mm256_and_si256(c2, low6));
    const reg high_three =
        _mm256_or_si256(_mm256_and_si256(_mm256_slli_epi16(c0, 4), _mm256_set1_epi8(char(0xF0))),
                        _mm256_and_si256(_mm256_srli_epi16(t1, 2), _mm256_set1_epi8(0x0F)));
    const reg three = _mm256_cmpgt_epi8(c0, _mm256_set1_epi8(char(0xDF)));  // signed: E0 on
    // In memory order, then each low byte beside its high byte.
    const reg low = _mm256_permute4x64_epi64(_mm256_blendv_epi8(low_two, low_three, three), 0xD8);
    const reg high = _mm256_permute4x64_epi64(_mm256_blendv_epi8(high_two, high_three, three), 0xD8);
    store(out, _mm256_unpacklo_epi8(low, high));
    store(out + 16, _mm256_unpackhi_epi8(low, high));
  }
  /// A table of 16 bytes in each half, for lookup().
  static reg table16(int b0, int b1, int b2, int b3, int b4, int b5, int b6, int b7, int b8,
                     int b9, int b10, int b11, int b12, int b13, int b14, int b15) {
    const __m128i half = _mm_setr_epi8(char(b0), char(b1), char(b2), char(b3), char(b4), char(b5),
                                       char(b6), char(b7), char(b8), char(b9), char(b10), char(b11),
                                       char(b12), char(b13), char(b14), char(b15));
    return _mm256_broadcastsi128_si256(half);
  }
  /// The byte of `table` at each index of `i` (0 to 15).
  static reg lookup(reg table, reg i) { return _mm256_shuffle_epi8(table, i); }
  static reg shr4(reg v) { return _mm256_srli_epi16(v, 4); }
  /// Each 16-bit lane moved up by K bits.
  template <int K>
  static reg shl(reg v) {
    return _mm256_slli_epi16(v, K);
  }
  /// ~a & b.
  static reg andnot(reg a, reg b) { return _mm256_andnot_si256(a, b); }
  /// The bytes of `b` where the top bit of `m` is set, of `a` elsewhere.
  static reg select(reg a, reg b, reg m) { return _mm256_blendv_epi8(a, b, m); }
  /// a - b, by byte, not below 0.
  static reg subs(reg a, reg b) { return _mm256_subs_epu8(a, b); }
  static bool any(reg v) { return !_mm256_testz_si256(v, v); }
  /// Copies the bytes of the 64 at `block` whose bit is set in `keep` to `d`, in order;
  /// returns their end. Writes up to eight bytes past it.
  static constexpr bool PACKS = true;
  static char* pack(const unsigned char* block, std::uint64_t keep, char* d) {
    for (int k = 0; k < 4; ++k, keep >>= 16) {
      const __m128i v = _mm_load_si128(reinterpret_cast<const __m128i*>(block + 16 * k));
      const unsigned lo = unsigned(keep & 0xFF), hi = unsigned(keep >> 8 & 0xFF);
      const __m128i order = _mm_castpd_si128(_mm_loadh_pd(
          _mm_castsi128_pd(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(&PACK_ORDERS.of[lo]))),
          reinterpret_cast<const double*>(&PACK_ORDERS.of_high[hi])));
      const __m128i packed = _mm_shuffle_epi8(v, order);
      _mm_storel_epi64(reinterpret_cast<__m128i*>(d), packed);
      d += __builtin_popcount(lo);
      _mm_storeh_pd(reinterpret_cast<double*>(d), _mm_castsi128_pd(packed));
      d += __builtin_popcount(hi);
    }
    return d;
  }
};

}  // namespace

const nivra::TextKernels* nivra::avx2_text_kernels() { return kernels_of<Avx2>("avx2"); }

#else

const nivra::TextKernels* nivra::avx2_text_kernels() { return nullptr; }

#endif
