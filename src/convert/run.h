#pragma once

// What one run of a program carries from file to file: the platform, the direction,
// where messages go, whether anything failed, and the buffers reused for every file.

#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "convert/direction.h"
#include "platform/platform.h"

namespace nivra {

/// Allocates like std::allocator, but leaves new elements as they are instead of
/// zeroing them: a buffer that a read is about to fill is grown without a pass over it.
template <class T>
struct UninitializedAllocator : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = UninitializedAllocator<U>;
  };
  UninitializedAllocator() = default;
  template <class U>
  UninitializedAllocator(const UninitializedAllocator<U>&) noexcept {}

  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

/// Bytes that are read into before they are used.
using ReadBuffer = std::vector<char, UninitializedAllocator<char>>;

/// Where the run's output goes: the fixed messages and the diagnostics for people.
class Reporter {
 public:
  virtual ~Reporter() = default;
  /// One of the fixed messages, for standard output.
  virtual void message(std::string_view text) = 0;
  /// One line for standard error, newline included.
  virtual void diagnostic(std::string_view line) = 0;
};

struct Run {
  Run(Platform& p, Direction d, Reporter& r) : platform(p), direction(d), reporter(r) {}

  Platform& platform;
  Direction direction;
  Reporter& reporter;
  bool failed = false;
  ReadBuffer content;  ///< the file being converted
  std::string block;          ///< output waiting to be written
};

/// Prints `message`, and "PROGRAM: PATH: REASON" on standard error; the run has failed.
void report_failure(Run& run, std::string_view message, std::string_view path,
                    std::string_view reason);

/// Prints the message of a file that is left alone by design; the run has not failed.
void report_skip(Run& run, std::string_view message);

}  // namespace nivra
