// Speed of every ANSI code page through its AnsiCodePage, both directions, on text of the
// same length in bytes: the double-byte ones are held to three times Windows-1252.
// Bytes per second count the code page's bytes. Arguments: code page, the percentage of
// characters outside ASCII, and for reading whether single bytes and pairs are mixed.

#include <benchmark/benchmark.h>

#include <cstddef>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "text/code_pages.h"

namespace {

constexpr std::size_t TEXT_BYTES = std::size_t(1) << 20;

/// Every byte above 0x7F and every pair that code page `page` reads.
std::vector<std::string> characters(nivra::AnsiCodePage& page) {
  std::vector<std::string> all;
  std::string out;
  const auto reads = [&](const std::string& c) {
    out.clear();
    return page.to_utf8(c, true, out).lossless();
  };
  for (int b = 0x80; b < 0x100; ++b) {
    const std::string c(1, char(b));
    out.clear();
    if (page.to_utf8(c, false, out).used == 1) {
      if (reads(c)) all.push_back(c);
      continue;
    }
    for (int t = 0; t < 0x100; ++t)  // a lead byte
      if (reads(c + char(t))) all.push_back(c + char(t));
  }
  return all;
}

/// About TEXT_BYTES of lines ending in CR LF in code page `page`, where `percent` of the
/// characters are outside ASCII, drawn at random from all those the code page has; when
/// `mixed`, as often from its single bytes as from its pairs, the hardest case to read.
std::string code_page_text(nivra::AnsiCodePage& page, int percent, bool mixed = false) {
  const std::vector<std::string> all = characters(page);
  std::vector<std::string> kind[2];  // single bytes, pairs
  for (const std::string& c : all) kind[c.size() - 1].push_back(c);
  if (kind[0].empty() || kind[1].empty()) mixed = false;
  std::mt19937 rng(page.id() + unsigned(percent));
  std::uniform_int_distribution<int> hundred(0, 99);
  const auto pick = [&](const std::vector<std::string>& from) -> const std::string& {
    return from[std::uniform_int_distribution<std::size_t>(0, from.size() - 1)(rng)];
  };
  static constexpr std::string_view ASCII = "abcdefghijklmnopqrstuvwxyz_ (){};=+*0123456789";
  std::uniform_int_distribution<std::size_t> ascii(0, ASCII.size() - 1);
  std::string text;
  while (text.size() < TEXT_BYTES) {
    for (int column = 0; column < 60; ++column) {
      if (hundred(rng) >= percent)
        text.push_back(ASCII[ascii(rng)]);
      else
        text += pick(mixed ? kind[hundred(rng) % 2] : all);
    }
    text += "\r\n";
  }
  return text;
}

void to_utf8(benchmark::State& state) {
  const auto page = nivra::make_code_page(unsigned(state.range(0)));
  const std::string text = code_page_text(*page, int(state.range(1)), state.range(2) != 0);
  std::string out;
  for (auto _ : state) {
    out.clear();
    if (!page->to_utf8(text, true, out).lossless()) {
      state.SkipWithError("the text does not convert");
      break;
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(text.size()));
}

void from_utf8(benchmark::State& state) {
  const auto page = nivra::make_code_page(unsigned(state.range(0)));
  const std::string text = code_page_text(*page, int(state.range(1)));
  std::string utf8, out;
  page->to_utf8(text, true, utf8);
  for (auto _ : state) {
    out.clear();
    if (!page->from_utf8(utf8, true, out).lossless()) {
      state.SkipWithError("the text does not convert");
      break;
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(text.size()));
}

void arguments(benchmark::internal::Benchmark* b) {
  for (const int id : {1252, 1251, 932, 936, 949, 950})
    for (const int percent : {5, 100}) b->Args({id, percent, 0});
}

}  // namespace

BENCHMARK(to_utf8)->Apply(arguments);
// Third argument 1: single bytes and pairs mixed at random, the hardest case to read.
BENCHMARK(to_utf8)->Args({932, 100, 1})->Args({936, 100, 1});
BENCHMARK(from_utf8)->Apply(arguments);

BENCHMARK_MAIN();
