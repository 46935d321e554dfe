#include "text/cp1252.h"

namespace nivra {

namespace {

// The characters of bytes 0x80 to 0x9F; every other byte stands for the code point
// of its own value.
constexpr char32_t HIGH_CONTROLS[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

}  // namespace

char32_t cp1252_char(unsigned char b) {
  return (b >= 0x80 && b < 0xA0) ? HIGH_CONTROLS[b - 0x80] : b;
}

const SingleByteTable& cp1252_table() {
  static const SingleByteTable table = [] {
    SingleByteTable t{1252, {}};
    for (unsigned i = 0; i < 128; ++i) t.high[i] = cp1252_char(static_cast<unsigned char>(0x80 + i));
    return t;
  }();
  return table;
}

}  // namespace nivra
