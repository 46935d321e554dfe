#include "convert/write_behind.h"

#include <atomic>
#include <new>

namespace nivra {

namespace {

/// At most this many files are written behind at once, each holding a block more.
constexpr int MOST_AT_ONCE = 4;
std::atomic<int> writing_behind{0};

}  // namespace

Status write_all(Output& out, std::string_view bytes) {
  while (!bytes.empty()) {
    std::size_t put = 0;
    const Status s = out.write(bytes.data(), bytes.size(), put);
    if (s.fault == Fault::interrupted) continue;
    if (!s.ok()) return s;
    // A write that stores nothing and reports no error would repeat for ever.
    if (put == 0) return Status{Fault::stalled, 0};
    bytes.remove_prefix(put);
  }
  return Status{};
}

WriteBehind::WriteBehind(Output& out) : out_(out) {
  if (writing_behind.fetch_add(1) >= MOST_AT_ONCE) {
    writing_behind.fetch_sub(1);
    return;
  }
  counted_ = true;
  free_.post();
  try {
    thread_ = std::make_unique<Thread>([this] { write_blocks(); });
  } catch (const std::bad_alloc&) {
  }
  if (thread_ && !thread_->started()) thread_.reset();
}

WriteBehind::~WriteBehind() {
  if (thread_) {
    free_.wait();  // the last block is written, and the thread waits for the next
    stopping_ = true;
    handed_.post();
    thread_.reset();
  }
  if (counted_) writing_behind.fetch_sub(1);
}

void WriteBehind::write_blocks() {
  for (;;) {
    handed_.wait();
    if (stopping_) return;
    try {
      if (status_.ok()) status_ = write_all(out_, pending_);
    } catch (const std::bad_alloc&) {
      status_ = Status{Fault::too_large, 0};
    }
    pending_.clear();
    free_.post();
  }
}

void WriteBehind::hand(std::string& block) {
  free_.wait();
  pending_.swap(block);
  handed_.post();
}

Status WriteBehind::wait() {
  free_.wait();
  const Status s = status_;
  free_.post();
  return s;
}

}  // namespace nivra
