#include "text/vector.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <map>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace nivra {

namespace {

#if defined(__x86_64__) || defined(__i386__)

/// What the processor offers, and whether the system saves the YMM registers on a switch
/// of threads (XGETBV: the SSE and AVX state both enabled). An old system on a new
/// processor leaves AVX off.
struct Processor {
  bool sse2 = false;
  bool avx2 = false;
};

Processor ask_processor() {
  Processor p;
  unsigned a, b, c, d;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return p;  // no CPUID at all: an early 486
  p.sse2 = (d >> 26 & 1) != 0;
  const bool osxsave = (c >> 27 & 1) != 0, avx = (c >> 28 & 1) != 0, popcnt = (c >> 23 & 1) != 0;
  if (!osxsave || !avx || !popcnt) return p;
  unsigned xcr0_low, xcr0_high;
  __asm__("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
  if ((xcr0_low & 6) != 6) return p;
  if (__get_cpuid_max(0, nullptr) < 7) return p;
  __cpuid_count(7, 0, a, b, c, d);
  p.avx2 = (b >> 5 & 1) != 0;
  return p;
}

const Processor& processor() {
  static const Processor p = ask_processor();
  return p;
}

#endif

bool runs(const TextKernels* k) {
  if (k == nullptr) return false;
#if defined(__x86_64__) || defined(__i386__)
  if (k == avx2_text_kernels()) return processor().avx2;
  if (k == sse2_text_kernels()) return processor().sse2;
#endif
  return k == &portable_text_kernels();
}

/// The kernels in use: the best ones, unless the environment names others.
std::atomic<const TextKernels*>& in_use() {
  static std::atomic<const TextKernels*> kernels{[] {
    const char* named = std::getenv("NIVRA_TEXT_KERNELS");
    const TextKernels* k = named != nullptr ? text_kernels_named(named) : nullptr;
    return k != nullptr ? k : &best_text_kernels();
  }()};
  return kernels;
}

}  // namespace

const TextKernels& best_text_kernels() {
  static const TextKernels* const best = [] {
    for (const TextKernels* k : {avx2_text_kernels(), sse2_text_kernels()})
      if (runs(k)) return k;
    return &portable_text_kernels();
  }();
  return *best;
}

const TextKernels* text_kernels_named(std::string_view name) {
  for (const TextKernels* k : {&portable_text_kernels(), sse2_text_kernels(), avx2_text_kernels()})
    if (k != nullptr && name == k->name) return runs(k) ? k : nullptr;
  return nullptr;
}

std::vector<const TextKernels*> runnable_text_kernels() {
  std::vector<const TextKernels*> all;
  for (const TextKernels* k : {&portable_text_kernels(), sse2_text_kernels(), avx2_text_kernels()})
    if (runs(k)) all.push_back(k);
  return all;
}

void choose_byte_rows(ByteForms& f) {
  // The rows by their first two bytes (the second 0 for characters of two bytes), and
  // how many characters each holds.
  std::map<unsigned, unsigned> count;
  const auto key_of = [](unsigned cp) {
    return cp < 0x800 ? (0xC0 | cp >> 6) << 8 : (0xE0 | cp >> 12) << 8 | 0x80 | (cp >> 6 & 0x3F);
  };
  for (unsigned cp = 0x80; cp < 0x10000; ++cp)
    if (f.byte[cp] != 0) ++count[key_of(cp)];
  std::vector<std::pair<unsigned, unsigned>> ranked(count.begin(), count.end());
  const unsigned euro = key_of(0x20AC);
  std::stable_sort(ranked.begin(), ranked.end(), [euro](const auto& a, const auto& b) {
    if ((a.first == euro) != (b.first == euro)) return a.first == euro;
    return a.second > b.second;
  });
  f.row_count = unsigned(std::min<std::size_t>(ranked.size(), ByteForms::ROWS));
  for (unsigned r = 0; r < f.row_count; ++r) {
    ByteForms::Row& row = f.rows[r];
    const unsigned lead = ranked[r].first >> 8, second = ranked[r].first & 0xFF;
    const unsigned first =
        second == 0 ? (lead & 0x1Fu) << 6 : (lead & 0x0Fu) << 12 | (second & 0x3Fu) << 6;
    for (unsigned i = 0; i < 32; ++i) {
      for (unsigned quarter = 0; quarter < 4; ++quarter)
        row.quarter[quarter][i] =
            static_cast<unsigned char>(f.byte[first | quarter << 4 | (i & 15)]);
      row.before_last[i] = static_cast<unsigned char>(second == 0 ? lead : second);
      row.first[i] = static_cast<unsigned char>(second == 0 ? 0 : lead);
    }
  }
}

const TextKernels& text_kernels() { return *in_use().load(std::memory_order_relaxed); }

void use_text_kernels(const TextKernels& kernels) {
  in_use().store(&kernels, std::memory_order_relaxed);
}

}  // namespace nivra
