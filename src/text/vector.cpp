#include "text/vector.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace nivra {

namespace {

const TextKernels* best_for_this_processor() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_cpu_init();
  // The check also asks whether the system saves the AVX registers.
  if (avx2_text_kernels() && __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt"))
    return avx2_text_kernels();
  if (sse2_text_kernels() && __builtin_cpu_supports("sse2")) return sse2_text_kernels();
#endif
  return nullptr;
}

/// The kernels in use: the best ones, unless the environment asks for the portable code.
std::atomic<const TextKernels*>& in_use() {
  static std::atomic<const TextKernels*> kernels{[] {
    const char* forced = std::getenv("NIVRA_PORTABLE_TEXT");
    return forced != nullptr && std::strcmp(forced, "1") == 0 ? nullptr : best_text_kernels();
  }()};
  return kernels;
}

}  // namespace

const TextKernels* best_text_kernels() {
  static const TextKernels* const best = best_for_this_processor();
  return best;
}

const TextKernels* text_kernels() { return in_use().load(std::memory_order_relaxed); }

void use_text_kernels(const TextKernels* kernels) {
  in_use().store(kernels, std::memory_order_relaxed);
}

void force_portable_text(bool portable) {
  use_text_kernels(portable ? nullptr : best_text_kernels());
}

}  // namespace nivra
