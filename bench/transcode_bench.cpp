// Speed of the conversions on text with no, some and only characters outside ASCII, by
// the vector code and by the portable code. Bytes per second count the input.

#include <benchmark/benchmark.h>

#include <cstddef>
#include <random>
#include <string>
#include <string_view>

#include "text/cp1252.h"
#include "text/unicode.h"
#include "text/vector.h"

namespace {

constexpr std::size_t TEXT_BYTES = std::size_t(1) << 20;

/// Percentage that stands for Windows text as people write it: a line of code or prose
/// where about one character in six is an accented letter, a euro sign or a curly quote.
constexpr int DENSE = 16;

/// About TEXT_BYTES of Windows-1252 lines ending in CR LF, where `percent` of the
/// characters are bytes above 0x7F: any of them, or those of DENSE text. Always the same
/// text for the same percentage.
std::string cp1252_text(int percent) {
  std::mt19937 rng(1252 + percent);
  std::uniform_int_distribution<int> hundred(0, 99);
  std::uniform_int_distribution<int> high(0x80, 0xFF);
  static constexpr std::string_view ASCII = "abcdefghijklmnopqrstuvwxyz_ (){};=+*0123456789";
  // é è à ç ê ü ö ä ß ñ, the euro sign, curly quotes, an ellipsis and a dash.
  static constexpr std::string_view WINDOWS = "\xE9\xE8\xE0\xE7\xEA\xFC\xF6\xE4\xDF\xF1\x80\x91\x92\x93\x94\x85\x96";
  std::uniform_int_distribution<std::size_t> ascii(0, ASCII.size() - 1);
  std::uniform_int_distribution<std::size_t> windows(0, WINDOWS.size() - 1);
  std::string text;
  while (text.size() < TEXT_BYTES) {
    for (int column = 0; column < 60; ++column) {
      if (hundred(rng) >= percent)
        text.push_back(ASCII[ascii(rng)]);
      else
        text.push_back(percent == DENSE ? WINDOWS[windows(rng)] : char(high(rng)));
    }
    text += "\r\n";
  }
  return text;
}

/// The second argument: 0 for the best code of this processor, 1 for the portable code,
/// 2 for SSE2 (what the 32-bit Windows programs run).
void choose_code(const benchmark::State& state) {
  const nivra::TextKernels* code[] = {&nivra::best_text_kernels(),
                                      &nivra::portable_text_kernels(),
                                      nivra::text_kernels_named("sse2")};
  nivra::use_text_kernels(code[state.range(1)] ? *code[state.range(1)]
                                               : nivra::portable_text_kernels());
}

/// Windows-1252 text of `percent` as UTF-8.
std::string utf8_text(int percent) {
  nivra::Cp1252CodePage page;
  std::string text;
  page.to_utf8(cp1252_text(percent), true, text);
  return text;
}

void to_utf8(benchmark::State& state) {
  choose_code(state);
  const std::string text = cp1252_text(int(state.range(0)));
  nivra::Cp1252CodePage page;
  std::string out;
  for (auto _ : state) {
    out.clear();
    if (!page.to_utf8(text, true, out).lossless()) {
      state.SkipWithError("the text does not convert");
      break;
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(text.size()));
}

void to_cp1252(benchmark::State& state) {
  const std::string text = utf8_text(int(state.range(0)));
  choose_code(state);
  nivra::Cp1252CodePage page;
  std::string out;
  for (auto _ : state) {
    out.clear();
    // Checked as it is converted, as a file is.
    if (!page.from_utf8(text, true, out).lossless()) {
      state.SkipWithError("the text does not convert");
      break;
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(text.size()));
}

/// Is the file valid UTF-8 already? The question sign asks of every file.
void check_utf8(benchmark::State& state) {
  const std::string text = utf8_text(int(state.range(0)));
  choose_code(state);
  for (auto _ : state) {
    if (nivra::utf8_first_invalid(text) != std::string_view::npos) {
      state.SkipWithError("the text is not UTF-8");
      break;
    }
  }
  state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(text.size()));
}

/// Percentages of characters outside ASCII, each by every code.
void mixes(benchmark::internal::Benchmark* b) {
  b->ArgNames({"percent", "code"});
  for (int code : {0, 1, 2})
    for (int percent : {0, 5, DENSE, 100}) b->Args({percent, code});
}

}  // namespace

BENCHMARK(to_utf8)->Apply(mixes);
BENCHMARK(to_cp1252)->Apply(mixes);
BENCHMARK(check_utf8)->Apply(mixes);

BENCHMARK_MAIN();
