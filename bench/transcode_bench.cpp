// Speed of the two conversions on text with no, some and only characters outside ASCII.
// Bytes per second count the input.

#include <benchmark/benchmark.h>

#include <cstddef>
#include <random>
#include <string>
#include <string_view>

#include "text/cp1252.h"

namespace {

constexpr std::size_t TEXT_BYTES = std::size_t(1) << 20;

/// About TEXT_BYTES of Windows-1252 lines ending in CR LF, where `percent` of the
/// characters are bytes above 0x7F. Always the same text for the same percentage.
std::string cp1252_text(int percent) {
  std::mt19937 rng(1252 + percent);
  std::uniform_int_distribution<int> hundred(0, 99);
  std::uniform_int_distribution<int> high(0x80, 0xFF);
  static constexpr std::string_view ASCII = "abcdefghijklmnopqrstuvwxyz_ (){};=+*0123456789";
  std::uniform_int_distribution<std::size_t> ascii(0, ASCII.size() - 1);
  std::string text;
  while (text.size() < TEXT_BYTES) {
    for (int column = 0; column < 60; ++column) {
      text.push_back(hundred(rng) < percent ? char(high(rng)) : ASCII[ascii(rng)]);
    }
    text += "\r\n";
  }
  return text;
}

void to_utf8(benchmark::State& state) {
  const std::string text = cp1252_text(int(state.range(0)));
  std::string out;
  for (auto _ : state) {
    out.clear();
    nivra::cp1252_to_utf8(text, out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(text.size()));
}

void to_cp1252(benchmark::State& state) {
  std::string text;
  nivra::cp1252_to_utf8(cp1252_text(int(state.range(0))), text);
  std::string out;
  for (auto _ : state) {
    out.clear();
    // The check comes first, as it does for a file.
    if (nivra::utf8_first_not_cp1252(text) != std::string_view::npos) {
      state.SkipWithError("the text does not convert");
      break;
    }
    nivra::utf8_to_cp1252(text, out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(text.size()));
}

}  // namespace

// The argument is the percentage of characters outside ASCII.
BENCHMARK(to_utf8)->Arg(0)->Arg(5)->Arg(100);
BENCHMARK(to_cp1252)->Arg(0)->Arg(5)->Arg(100);

BENCHMARK_MAIN();
