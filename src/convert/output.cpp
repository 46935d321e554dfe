#include "convert/output.h"

#include <new>

namespace nivra {

WriteBehind::WriteBehind(Output& out, Budget& budget) : out_(out), budget_(budget) {
  if (!budget_.take_writing_behind()) return;
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
  if (counted_) budget_.give_writing_behind();
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

BlockWriter::BlockWriter(Output& out, std::string& buffer, WriteBehind* behind)
    : out_(out), buffer_(buffer), behind_(behind) {
  buffer_.clear();
}

void BlockWriter::append(std::string_view bytes) {
  // Large pieces go out as they are, without a copy.
  if (bytes.size() >= BLOCK_BYTES) return put(bytes);
  buffer_.append(bytes);
  flush_if_full();
}

void BlockWriter::put(std::string_view bytes) {
  if (behind_)
    catch_up();
  else
    write_out(buffer_);
  buffer_.clear();
  write_out(bytes);
}

void BlockWriter::hand_over(std::string& bytes) {
  if (!behind_ || !status_.ok()) return put(bytes);
  if (!buffer_.empty()) behind_->hand(buffer_);
  behind_->hand(bytes);
}

void BlockWriter::flush_if_full() {
  if (buffer_.size() < BLOCK_BYTES) return;
  if (behind_ && status_.ok()) return behind_->hand(buffer_);
  write_out(buffer_);
  buffer_.clear();
}

Status BlockWriter::finish() {
  if (behind_)
    catch_up();
  else
    write_out(buffer_);
  buffer_.clear();
  return status_;
}

void BlockWriter::catch_up() {
  if (!buffer_.empty() && status_.ok()) behind_->hand(buffer_);
  const Status s = behind_->wait();
  if (status_.ok()) status_ = s;
}

void BlockWriter::write_out(std::string_view bytes) {
  if (status_.ok()) status_ = write_all(out_, bytes);
}

}  // namespace nivra
