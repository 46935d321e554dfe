#pragma once

#include <cstdio>
#include <string_view>

namespace nivra {

/// Where the run's output goes: the fixed messages and the diagnostics for people.
class Reporter {
 public:
  virtual ~Reporter() = default;
  /// One of the fixed messages, for standard output.
  virtual void message(std::string_view text) = 0;
  /// One line for standard error, newline included.
  virtual void diagnostic(std::string_view line) = 0;
  /// Ends the output; false when what was printed could not all be written.
  virtual bool finish() { return true; }
};

/// Messages on the C runtime's standard output, diagnostics on standard error.
class StdioReporter : public Reporter {
 public:
  void message(std::string_view text) override {
    std::fwrite(text.data(), 1, text.size(), stdout);
  }
  void diagnostic(std::string_view line) override {
    // Each message first, so that a log of both outputs pairs them.
    std::fflush(stdout);
    std::fwrite(line.data(), 1, line.size(), stderr);
  }
  bool finish() override { return std::fflush(stdout) == 0 && !std::ferror(stdout); }
};

}  // namespace nivra
