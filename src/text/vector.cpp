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
  if (avx2_text_kernels() && __builtin_cpu_supports("avx2")) return avx2_text_kernels();
  if (sse2_text_kernels() && __builtin_cpu_supports("sse2")) return sse2_text_kernels();
#endif
  return nullptr;
}

struct Choice {
  const TextKernels* best = best_for_this_processor();
  std::atomic<bool> portable{[] {
    const char* forced = std::getenv("NIVRA_PORTABLE_TEXT");
    return forced != nullptr && std::strcmp(forced, "1") == 0;
  }()};
};

Choice& choice() {
  static Choice c;
  return c;
}

}  // namespace

const TextKernels* text_kernels() {
  Choice& c = choice();
  return c.portable.load(std::memory_order_relaxed) ? nullptr : c.best;
}

void force_portable_text(bool portable) {
  choice().portable.store(portable, std::memory_order_relaxed);
}

}  // namespace nivra
