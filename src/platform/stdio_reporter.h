#pragma once

#include <cstdio>

#include "convert/run.h"

namespace nivra {

/// Messages on the C runtime's standard output, diagnostics on standard error.
class StdioReporter final : public Reporter {
 public:
  void message(std::string_view text) override {
    std::fwrite(text.data(), 1, text.size(), stdout);
  }
  void diagnostic(std::string_view line) override {
    std::fwrite(line.data(), 1, line.size(), stderr);
  }
  /// Flushes standard output; false when what was printed could not all be written.
  bool finish() { return std::fflush(stdout) == 0 && !std::ferror(stdout); }
};

}  // namespace nivra
