#pragma once

#include <string>
#include <string_view>

#include "platform/file_system.h"
#include "platform/threads.h"

namespace nivra {

/// Writes all of `bytes` to `out`, repeating interrupted and short writes; a write that
/// stores nothing and reports no error fails as `stalled`.
Status write_all(Output& out, std::string_view bytes);

/// Writes the blocks of one file on a thread of its own, in the order they are handed
/// over, while the next ones are converted. The first failure sticks: later blocks are
/// dropped. Only a few exist at a time, so that memory stays bounded.
class WriteBehind {
 public:
  /// Files at least this large are written behind where threads may be used.
  static constexpr unsigned long long FROM_BYTES = 4ull << 20;

  explicit WriteBehind(Output& out);
  /// Waits for the blocks handed over to be written.
  ~WriteBehind();
  WriteBehind(const WriteBehind&) = delete;
  WriteBehind& operator=(const WriteBehind&) = delete;

  /// Whether a thread writes; where none could be had (or too many exist), the caller
  /// writes itself.
  bool running() const { return thread_ != nullptr; }
  /// Hands over `block` to be written after those before it; `block` comes back empty.
  void hand(std::string& block);
  /// Waits until every block handed over is written; the first failure.
  Status wait();

 private:
  void write_blocks();

  Output& out_;
  std::string pending_;  ///< the block being written, or a spare
  bool stopping_ = false;
  Status status_;
  Semaphore handed_;  ///< a permit for each block handed over, and one to stop
  Semaphore free_;    ///< a permit when pending_ may take the next block
  bool counted_ = false;
  std::unique_ptr<Thread> thread_;
};

}  // namespace nivra
