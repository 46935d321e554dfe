#pragma once

// The kernels, written once over a vector type V and compiled once per instruction set
// (vector_sse2.cpp, vector_avx2.cpp). Include it inside an unnamed namespace only, after
// <immintrin.h>: nothing here may be shared with code built for another processor.

#include <cstddef>
#include <cstdint>

#include "text/vector.h"

using std::size_t;
using std::uint32_t;
using std::uint64_t;
using uchar = unsigned char;
using nivra::ByteForms;
using nivra::TextKernels;

inline unsigned first_bit(uint64_t m) { return unsigned(__builtin_ctzll(m)); }

inline void store32(void* p, uint32_t v) { __builtin_memcpy(p, &v, 4); }

/// For each choice of bytes to keep out of eight (bit i for byte i), the places of the
/// bytes kept, in order, one a byte: what a byte shuffle takes to pack them.
struct PackOrders {
  uint64_t of[256];
  uint64_t of_high[256];  ///< the same for the second eight of sixteen: places 8 to 15
};

constexpr PackOrders make_pack_orders() {
  PackOrders t{};
  for (unsigned keep = 0; keep < 256; ++keep) {
    uint64_t order = ~uint64_t(0) & 0x8080808080808080ull;  // zeros where nothing is kept
    unsigned at = 0;
    for (unsigned i = 0; i < 8; ++i) {
      if ((keep >> i & 1) == 0) continue;
      order = (order & ~(uint64_t(0xFF) << 8 * at)) | uint64_t(i) << 8 * at;
      ++at;
    }
    t.of[keep] = order;
    t.of_high[keep] = order + 0x0808080808080808ull;
  }
  return t;
}

constexpr PackOrders PACK_ORDERS = make_pack_orders();

/// Length of the character that lead byte `c` starts, counting a stray byte as one.
inline size_t lead_length(uchar c) { return c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1; }

/// The last offset at or before `i` that is not inside a character.
inline size_t back_to_boundary(const uchar* p, size_t i) {
  for (size_t back = 1; back <= 3 && back <= i; ++back) {
    const uchar c = p[i - back];
    if (c < 0x80) break;
    if (c >= 0xC0) return lead_length(c) > back ? i - back : i;
  }
  return i;
}

template <class V>
size_t ascii_prefix(const uchar* p, size_t n) {
  size_t i = 0;
  for (; n - i >= 2 * V::W; i += 2 * V::W) {
    const typename V::reg a = V::load(p + i), b = V::load(p + i + V::W);
    if (V::mask(V::or_(a, b)) == 0) continue;
    const uint64_t m = V::mask(a) | uint64_t(V::mask(b)) << V::W;
    return i + first_bit(m);
  }
  for (; n - i >= V::W; i += V::W)
    if (const uint32_t m = V::mask(V::load(p + i))) return i + first_bit(m);
  while (i < n && p[i] < 0x80) ++i;
  return i;
}

template <class V>
size_t count_high(const uchar* p, size_t n) {
  size_t count = 0, i = 0;
  for (; n - i >= V::W; i += V::W) count += size_t(V::bits(V::mask(V::load(p + i))));
  for (; i < n; ++i) count += p[i] >> 7;
  return count;
}

/// The bytes of `x` that break UTF-8, given the bytes `before` it; what a character cut
/// at the end of `x` lacks is not counted.
template <class V>
[[gnu::always_inline]] inline typename V::reg utf8_errors(typename V::reg x, typename V::reg before) {
  using R = typename V::reg;
  const R C0 = V::set1(0xC0), E0 = V::set1(0xE0), F0 = V::set1(0xF0), ED = V::set1(0xED),
          F4 = V::set1(0xF4), F5 = V::set1(0xF5), FE = V::set1(0xFE), A0 = V::set1(0xA0),
          N9F = V::set1(0x9F), N90 = V::set1(0x90), N8F = V::set1(0x8F);
  const R p1 = V::template prev<1>(x, before), p2 = V::template prev<2>(x, before),
          p3 = V::template prev<3>(x, before);
  // A byte continues a character exactly when a lead byte 1, 2 or 3 places back asks
  // for that many continuation bytes.
  const R expected = V::or_(V::ge(p1, C0), V::or_(V::ge(p2, E0), V::ge(p3, F0)));
  const R is_cont = V::lt(x, C0);  // signed: 0x80 to 0xBF
  R bad = V::xor_(expected, is_cont);
  bad = V::or_(bad, V::eq(V::and_(x, FE), C0));  // C0, C1: overlong
  bad = V::or_(bad, V::ge(x, F5));
  // The second byte's range after E0 (overlong), ED (surrogate), F0 and F4.
  bad = V::or_(bad, V::and_(V::eq(p1, E0), V::lt(x, A0)));
  bad = V::or_(bad, V::and_(V::eq(p1, ED), V::gt(x, N9F)));
  bad = V::or_(bad, V::and_(V::eq(p1, F0), V::lt(x, N90)));
  bad = V::or_(bad, V::and_(V::eq(p1, F4), V::gt(x, N8F)));
  return bad;
}

template <class V>
size_t utf8_valid_prefix(const uchar* p, size_t n) {
  using R = typename V::reg;
  constexpr size_t B = 2 * V::W;  // two vectors a block
  R before = V::zero();
  bool cut = false;  // the text so far ends inside a character
  size_t i = 0;
  for (; n - i >= B; i += B) {
    const R x0 = V::load(p + i), x1 = V::load(p + i + V::W);
    if (V::mask(V::or_(x0, x1)) == 0) {
      if (cut) break;
      before = x1;
      continue;
    }
    if (V::mask(V::or_(utf8_errors<V>(x0, before), utf8_errors<V>(x1, x0))) != 0) break;
    const uchar* last = p + i + B;
    cut = last[-1] >= 0xC0 || last[-2] >= 0xE0 || last[-3] >= 0xF0;
    before = x1;
  }
  return back_to_boundary(p, i);
}

template <class V>
size_t bytes_to_utf8(const ByteForms& f, const uchar* src, size_t n, char* dst, size_t room,
                     size_t* written) {
  constexpr size_t W = V::W, B = 2 * W;  // two vectors a block
  const uchar* p = src;
  const uchar* const end = src + n;
  char* d = dst;
  char* const dend = dst + room;
  // A copy of ASCII reads B bytes from anywhere in the block, and writes B bytes past
  // what it keeps.
  while (size_t(end - p) >= 2 * B && size_t(dend - d) >= 4 * B + 8) {
    const typename V::reg x0 = V::load(p), x1 = V::load(p + W);
    uint64_t m = V::mask(x0) | uint64_t(V::mask(x1)) << W;
    if (m == 0) {
      V::store(d, x0);
      V::store(d + W, x1);
      p += B;
      d += B;
      continue;
    }
    if (V::bits(m) >= int(B / 4)) {
      // Much outside ASCII: every byte's form is written, and the block is done again the
      // long way if one of them is left to the caller.
      char* const start = d;
      uint32_t zero = 0;
      for (size_t k = 0; k < B; ++k) {
        const uint32_t form = f.form[p[k]];
        store32(d, form);
        d += form >> 24;
        zero |= form + 0xFF000000u;  // top bit set where the length is 0
      }
      if ((zero >> 31) == 0) {
        p += B;
        continue;
      }
      d = start;
    }
    const uchar* seg = p;
    do {
      const uchar* const high = p + first_bit(m);
      V::store(d, V::load(seg));
      V::store(d + W, V::load(seg + W));
      d += high - seg;
      const uint32_t form = f.form[*high];
      if ((form >> 24) == 0) {
        *written = size_t(d - dst);
        return size_t(high - src);
      }
      store32(d, form);
      d += form >> 24;
      seg = high + 1;
      m &= m - 1;
    } while (m != 0);
    V::store(d, V::load(seg));
    V::store(d + W, V::load(seg + W));
    d += p + B - seg;
    p += B;
  }
  for (; p < end && dend - d >= 4; ++p) {
    if (*p < 0x80) {
      *d++ = char(*p);
      continue;
    }
    const uint32_t form = f.form[*p];
    if ((form >> 24) == 0) break;
    store32(d, form);
    d += form >> 24;
  }
  *written = size_t(d - dst);
  return size_t(p - src);
}

/// The byte of the UTF-8 character at `p` (before `end`) in `f`, plus 0x100; returns the
/// character's length, or 0 when it is malformed, has no byte or is left to the caller
/// (a character of four bytes).
inline size_t byte_of(const ByteForms& f, const uchar* p, const uchar* end, unsigned& b) {
  const unsigned c = p[0];
  if (c < 0x80) {
    b = 0x100 | c;
    return 1;
  }
  unsigned cp;
  size_t len;
  if (c >= 0xC2 && c < 0xE0) {
    if (end - p < 2 || (p[1] & 0xC0) != 0x80) return 0;
    cp = (c & 0x1F) << 6 | (p[1] & 0x3Fu);
    len = 2;
  } else if (c >= 0xE0 && c < 0xF0) {
    if (end - p < 3 || (p[1] & 0xC0) != 0x80 || (p[2] & 0xC0) != 0x80) return 0;
    cp = (c & 0x0F) << 12 | (p[1] & 0x3Fu) << 6 | (p[2] & 0x3Fu);
    if (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    len = 3;
  } else {
    return 0;
  }
  b = f.byte[cp];
  return b != 0 ? len : 0;
}

/// The code point of the well-formed character of two or three bytes at `p`, without a
/// branch: in mixed text which of the two comes next is a coin toss. Reads p[2] either way.
inline unsigned code_point(const uchar* p) {
  const unsigned c = p[0], three = c >> 5 & 1;  // C2 to DF, or E0 to EF
  // The lead's low five bits are its payload either way (E0 to EF have bit 4 clear).
  const unsigned first = (c & 0x1Fu) << 6 | (p[1] & 0x3Fu);
  return first << (6 * three) | ((p[2] & 0x3Fu) & (0u - three));
}

/// The bytes of `x` that break UTF-8 of one to three bytes a character, given the bytes
/// `before` it: a lead byte of four bytes or more counts as a break, and so does what a
/// character cut at the end of `x` lacks only once the bytes after `x` are seen.
template <class V>
[[gnu::always_inline]] inline typename V::reg bmp_utf8_errors(typename V::reg x,
                                                               typename V::reg before) {
  using R = typename V::reg;
  const R C0 = V::set1(0xC0), E0 = V::set1(0xE0), F0 = V::set1(0xF0), ED = V::set1(0xED),
          FE = V::set1(0xFE), A0 = V::set1(0xA0), N9F = V::set1(0x9F);
  const R p1 = V::template prev<1>(x, before), p2 = V::template prev<2>(x, before);
  // A byte continues a character exactly when a lead byte 1 or 2 places back asks for
  // that many continuation bytes.
  const R expected = V::or_(V::ge(p1, C0), V::ge(p2, E0));
  R bad = V::xor_(expected, V::lt(x, C0));  // signed: 0x80 to 0xBF
  bad = V::or_(bad, V::or_(V::eq(V::and_(x, FE), C0), V::ge(x, F0)));  // C0, C1; F0 on
  // The second byte's range after E0 (overlong) and ED (surrogate).
  bad = V::or_(bad, V::and_(V::eq(p1, E0), V::lt(x, A0)));
  return V::or_(bad, V::and_(V::eq(p1, ED), V::gt(x, N9F)));
}

/// The same as bmp_utf8_errors(), by three table lookups on half bytes where the vector
/// unit has a byte shuffle: a byte and the one before it break UTF-8 where the three tables
/// share a bit. Any bit set in the result is a break.
/// `p1` and `p2` are the bytes one and two places before those of `x`.
template <class V>
[[gnu::always_inline]] inline typename V::reg bmp_utf8_errors_by_table(typename V::reg x,
                                                                        typename V::reg p1,
                                                                        typename V::reg p2) {
  using R = typename V::reg;
  constexpr int TOO_SHORT = 1, TOO_LONG = 2, OVERLONG_3 = 4, SURROGATE = 8, OVERLONG_2 = 16,
                TWO_CONTS = 0x80;
  constexpr int CARRY = TOO_SHORT | TOO_LONG | TWO_CONTS;
  // By the high half of the byte before: ASCII, continuation, and lead bytes C, D, E, F
  // (F0 and above are breaks of their own, below).
  const R by_prev_high = V::table16(TOO_LONG, TOO_LONG, TOO_LONG, TOO_LONG, TOO_LONG, TOO_LONG,
                                    TOO_LONG, TOO_LONG, TWO_CONTS, TWO_CONTS, TWO_CONTS, TWO_CONTS,
                                    TOO_SHORT | OVERLONG_2, TOO_SHORT,
                                    TOO_SHORT | OVERLONG_3 | SURROGATE, TOO_SHORT);
  // By its low half: C0 and C1, E0, ED.
  const R by_prev_low = V::table16(CARRY | OVERLONG_3 | OVERLONG_2, CARRY | OVERLONG_2, CARRY,
                                   CARRY, CARRY, CARRY, CARRY, CARRY, CARRY, CARRY, CARRY, CARRY,
                                   CARRY, CARRY | SURROGATE, CARRY, CARRY);
  // By the high half of the byte itself: ASCII, 80 to 9F, A0 to BF, a lead byte.
  const R by_high = V::table16(TOO_SHORT, TOO_SHORT, TOO_SHORT, TOO_SHORT, TOO_SHORT, TOO_SHORT,
                               TOO_SHORT, TOO_SHORT,
                               TOO_LONG | OVERLONG_2 | TWO_CONTS | OVERLONG_3,
                               TOO_LONG | OVERLONG_2 | TWO_CONTS | OVERLONG_3,
                               TOO_LONG | OVERLONG_2 | TWO_CONTS | SURROGATE,
                               TOO_LONG | OVERLONG_2 | TWO_CONTS | SURROGATE, TOO_SHORT, TOO_SHORT,
                               TOO_SHORT, TOO_SHORT);
  const R low = V::set1(0x0F);
  const R special = V::and_(V::and_(V::lookup(by_prev_high, V::and_(V::shr4(p1), low)),
                                    V::lookup(by_prev_low, V::and_(p1, low))),
                            V::lookup(by_high, V::and_(V::shr4(x), low)));
  // Two continuations in a row are right exactly as the third byte of a character of three.
  const R third = V::and_(V::subs(p2, V::set1(0xE0 - 0x80)), V::set1(0x80));
  return V::or_(V::xor_(special, third), V::subs(x, V::set1(0xEF)));
}

/// Where the rows of `f` give the byte of each character of the 64 bytes `x` that
/// start between two characters and are well-formed UTF-8: into `block`, each character's
/// byte in place of its last byte and ASCII as it is. `p1` and `p2` are the bytes one and
/// two places before those of `x`. Returns the bytes of `block` above 0x7F: a character
/// that no row gives, or that has no byte, leaves one below 0x80.
template <class V, size_t K>
[[gnu::always_inline]] inline uint64_t row_bytes(const ByteForms& f, const typename V::reg (&x)[K],
                                                 const typename V::reg (&p1)[K],
                                                 const typename V::reg (&p2)[K], uchar* block) {
  using R = typename V::reg;
  uint64_t given = 0;
  for (size_t k = 0; k < K; ++k) {
    // The low four bits of the column pick a byte of each quarter of a row, and bits 4
    // and 5, moved to the top of the byte, pick the quarter.
    const R column = V::and_(x[k], V::set1(0x0F));
    const R bit4 = V::template shl<3>(x[k]), bit5 = V::template shl<2>(x[k]);
    R r = V::andnot(V::lt(x[k], V::set1(0xC0)), x[k]);  // continuation bytes 0
    for (unsigned i = 0; i < f.row_count; ++i) {
      const ByteForms::Row& row = f.rows[i];
      R in_row = V::eq(p1[k], V::load(row.before_last));
      if (row.first[0] != 0) in_row = V::and_(in_row, V::eq(p2[k], V::load(row.first)));
      const auto q = [&](int j) { return V::lookup(V::load(row.quarter[j]), column); };
      const R t = V::select(V::select(q(0), q(1), bit4), V::select(q(2), q(3), bit4), bit5);
      r = V::select(r, t, in_row);
    }
    V::store(block + k * V::W, r);
    given |= uint64_t(V::mask(r)) << (k * V::W);
  }
  return given;
}

template <class V>
size_t utf8_to_bytes(const ByteForms& f, const uchar* src, size_t n, char* dst,
                     size_t* written) {
  using R = typename V::reg;
  constexpr size_t W = V::W, B = 64, K = B / W;  // blocks of 64 bytes, K vectors each
  // A block reads two bytes past its end, or, where the ASCII between two characters is
  // copied two vectors at a time, two vectors past it.
  constexpr size_t AHEAD = V::PACKS ? 2 : 2 * W;
  const R C0 = V::set1(0xC0);
  const uchar* p = src;
  const uchar* const end = src + n;
  char* d = dst;
  // How many characters outside ASCII make a block worth the rows' lookups, and for how
  // many blocks the rows rest after one they could not give.
  constexpr int ROWS_FROM = 5;
  constexpr unsigned ROWS_REST = 16, ROWS_REST_MOST = 1024;
  [[maybe_unused]] unsigned rows_skipped = 0, rows_rest = ROWS_REST;
  // Blocks start between two characters, and end before a character they cut.
  while (size_t(end - p) >= B + AHEAD) {
    R x[K];
    uint64_t high = 0;
    for (size_t k = 0; k < K; ++k) {
      x[k] = V::load(p + k * W);
      high |= uint64_t(V::mask(x[k])) << (k * W);
    }
    if (high == 0) {
      for (size_t k = 0; k < K; ++k) V::store(d + k * W, x[k]);
      p += B;
      d += B;
      continue;
    }
    uint64_t cont = 0;
    for (size_t k = 0; k < K; ++k) cont |= uint64_t(V::mask(V::lt(x[k], C0))) << (k * W);
    [[maybe_unused]] alignas(64) uchar block[B];
    // The bytes before each of the block's, from memory past the first block (the vector
    // unit's shuffles are the busiest); the text before the block is whole characters,
    // which is all that the check and the lookups ask of them.
    [[maybe_unused]] R p1[K], p2[K];
    if constexpr (V::PACKS) {
      for (size_t k = 0; k < K; ++k) {
        if (p - src >= 2) {
          p1[k] = V::load(p + k * W - 1);
          p2[k] = V::load(p + k * W - 2);
        } else {
          const R before = k == 0 ? V::zero() : x[k - 1];
          p1[k] = V::template prev<1>(x[k], before);
          p2[k] = V::template prev<2>(x[k], before);
        }
      }
      R bad = bmp_utf8_errors_by_table<V>(x[0], p1[0], p2[0]);
      for (size_t k = 1; k < K; ++k)
        bad = V::or_(bad, bmp_utf8_errors_by_table<V>(x[k], p1[k], p2[k]));
      if (V::any(bad)) break;
    } else {
      R bad = bmp_utf8_errors<V>(x[0], V::zero());
      for (size_t k = 1; k < K; ++k) bad = V::or_(bad, bmp_utf8_errors<V>(x[k], x[k - 1]));
      if (V::mask(bad) != 0) break;
    }
    // A character cut at the end starts at one of the last two bytes, and waits for the
    // next block.
    const size_t whole = B - (p[B - 1] >= 0xC0) - 2 * (p[B - 2] >= 0xE0);
    const uint64_t starts = ~cont & (~uint64_t(0) >> (B - whole));
    unsigned all = 0x100;  // stays set while every character has its byte
    if constexpr (V::PACKS) {
      // Where the rows give every character: their bytes, and ASCII, packed together
      // from the places where characters end. Not worth it for a few characters, nor for a
      // while after a block with a character outside the rows.
      if (rows_skipped > 0) {
        --rows_skipped;
      } else if (V::bits(high & starts) >= ROWS_FROM) {
        const uint64_t ends = ((~cont >> 1) | uint64_t(1) << 63) & (~uint64_t(0) >> (B - whole));
        if ((ends & cont & ~row_bytes<V>(f, x, p1, p2, block)) == 0) {
          rows_rest = ROWS_REST;
          d = V::pack(block, ends, d);
          p += whole;
          continue;
        }
        // Twice as long each time the rows fail again.
        rows_skipped = rows_rest;
        rows_rest = rows_rest < ROWS_REST_MOST ? 2 * rows_rest : ROWS_REST_MOST;
      }
      // Else each character's byte looked up by its code point in place of its lead byte,
      // then the bytes that start characters packed together.
      alignas(64) std::uint16_t cps[B];  // the code point of the character at each start
      for (size_t k = 0; k < K; ++k) {
        V::store(block + k * W, x[k]);
        V::code_points(x[k], V::load(p + k * W + 1), V::load(p + k * W + 2), cps + k * W);
      }
      for (uint64_t s = high & starts; s != 0; s &= s - 1) {
        const size_t j = first_bit(s);
        const unsigned b = f.byte[cps[j]];
        all &= b;
        block[j] = uchar(b);
      }
      if ((all & 0x100) == 0) break;
      d = V::pack(block, starts, d);
    } else {
      // The ASCII between two characters copied, then the byte of the character.
      char* const block_start = d;
      size_t seg = 0;
      for (uint64_t s = high & starts; s != 0; s &= s - 1) {
        const size_t j = first_bit(s);
        // Two vectors whatever the length, which is short in dense text: no branch to miss.
        V::store(d, V::load(p + seg));
        V::store(d + W, V::load(p + seg + W));
        for (size_t i = seg + 2 * W; i < j; i += W) V::store(d + (i - seg), V::load(p + i));
        d += j - seg;
        const unsigned b = f.byte[code_point(p + j)];
        all &= b;
        *d++ = char(b);
        seg = j + 2 + (p[j] >> 5 & 1);
      }
      for (size_t i = seg;; i += W) {
        V::store(d + (i - seg), V::load(p + i));
        if (i + W >= whole) break;
      }
      d += whole - seg;
      if ((all & 0x100) == 0) {
        d = block_start;
        break;
      }
    }
    p += whole;
  }
  // The rest, and the block where something is amiss, one character at a time.
  while (p < end) {
    unsigned b;
    const size_t len = byte_of(f, p, end, b);
    if (len == 0) break;
    *d++ = char(b);
    p += len;
  }
  *written = size_t(d - dst);
  return size_t(p - src);
}

template <class V>
const TextKernels* kernels_of(const char* name) {
  static const TextKernels k = {name, ascii_prefix<V>, count_high<V>, utf8_valid_prefix<V>,
                                bytes_to_utf8<V>, utf8_to_bytes<V>};
  return &k;
}
