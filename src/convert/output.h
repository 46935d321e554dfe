#pragma once

// The new content of a file on its way out: collected in large blocks, and written by the
// converting thread itself or, for a large file, by a thread of the file's own.

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "convert/budget.h"
#include "platform/io.h"
#include "platform/file_system.h"
#include "platform/threads.h"

namespace nivra {

/// An open file of a FileSystem as an Output.
class FileOutput final : public Output {
 public:
  FileOutput(FileSystem& fs, File file) : fs_(fs), file_(file) {}
  Status write(const char* buf, std::size_t n, std::size_t& put) override {
    return fs_.write(file_, buf, n, put);
  }

 private:
  FileSystem& fs_;
  File file_;
};

/// Writes the blocks of one file on a thread of its own, in the order they are handed
/// over, while the next ones are converted. The first failure sticks: later blocks are
/// dropped. Only a few exist at a time (see Budget), so that memory stays bounded.
class WriteBehind {
 public:
  /// Files at least this large are written behind where threads may be used.
  static constexpr unsigned long long FROM_BYTES = 4ull << 20;

  WriteBehind(Output& out, Budget& budget);
  /// Waits for the blocks handed over to be written.
  ~WriteBehind();
  WriteBehind(const WriteBehind&) = delete;
  WriteBehind& operator=(const WriteBehind&) = delete;

  /// Whether a thread writes; where none could be had (or too many exist), the caller
  /// writes itself.
  bool running() const { return thread_ != nullptr; }
  /// Hands over `block` to be written after those before it; `block` comes back empty.
  /// Waits for the block before it, which its thread writes without waiting for anything.
  void hand(std::string& block);
  /// Waits until every block handed over is written; the first failure.
  Status wait();

 private:
  void write_blocks();

  Output& out_;
  Budget& budget_;
  std::string pending_;  ///< the block being written, or a spare
  bool stopping_ = false;
  Status status_;
  Semaphore handed_;  ///< a permit for each block handed over, and one to stop
  Semaphore free_;    ///< a permit when pending_ may take the next block
  bool counted_ = false;
  std::unique_ptr<Thread> thread_;
};

/// Collects output in `buffer` and writes it to `out` in large blocks, repeating
/// interrupted and short writes. The first failure sticks: later calls do nothing.
class BlockWriter {
 public:
  static constexpr std::size_t BLOCK_BYTES = std::size_t(1) << 20;

  /// With `behind`, the blocks are written on its thread, in the same pieces.
  BlockWriter(Output& out, std::string& buffer, WriteBehind* behind = nullptr);

  /// The buffer to append output to; call flush_if_full() after appending.
  std::string& buffer() { return buffer_; }
  void append(std::string_view bytes);
  /// Writes what waits, then `bytes` as they are, without a copy.
  void put(std::string_view bytes);
  /// put(), but written behind where a thread writes: `bytes` is handed over and comes
  /// back empty.
  void hand_over(std::string& bytes);
  void flush_if_full();
  /// Writes what is left; returns the first failure of this writer.
  Status finish();

 private:
  void write_out(std::string_view bytes);

  /// Hands buffer_ to behind_ and waits for it; its first failure becomes status_.
  void catch_up();

  Output& out_;
  std::string& buffer_;
  WriteBehind* behind_;
  Status status_;
};

}  // namespace nivra
