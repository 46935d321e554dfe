#include "walk/workers.h"

#include <algorithm>
#include <new>

namespace nivra {

namespace {

/// Once a file ran short, each is converted on the owner's thread alone, without the
/// threads and memory of pieces and of writing behind.
Converter& alone(Converter& converter) {
  converter.pieces(0);
  converter.write_behind(false);
  return converter;
}

}  // namespace

/// A place in the window: a file to convert, or an outcome to report.
struct Workers::Slot {
  enum State { waiting, running, done };
  std::shared_ptr<const Folder> folder;
  std::string name;
  std::string path;
  Outcome outcome;
  State state = waiting;
};

Workers::Workers(const Budget& budget, const Converter& converter,
                 std::function<void(const Outcome&)> report, bool first_alone)
    : report_(std::move(report)),
      converters_(budget.workers(), converter),
      window_(std::size_t(4) * budget.workers()),
      first_alone_(first_alone) {
  try {
    // A thread that started is never dropped: joined, it would wait for work for ever.
    threads_.reserve(converters_.size());
    for (Converter& c : converters_) {
      auto thread = std::make_unique<Thread>([this, &c] { work(c); });
      if (!thread->started()) break;
      threads_.push_back(std::move(thread));
    }
  } catch (const std::bad_alloc&) {
    // Fewer workers, as where the system gives no more threads.
  }
}

Workers::~Workers() {
  finish();
  {
    Lock lock(mutex_);
    stopping_ = true;
  }
  for (std::size_t i = 0; i < threads_.size(); ++i) work_.post();
  threads_.clear();
}

void Workers::work(Converter& converter) {
  for (;;) {
    work_.wait();  // a file, or the destructor's word to stop
    Slot* slot = nullptr;
    {
      Lock lock(mutex_);
      if (stopping_) return;
      if (serial_) continue;  // what is left is converted by the owner, one at a time
      while (next_ < tail_ && window_[next_ % window_.size()].state != Slot::waiting) ++next_;
      if (next_ == tail_) continue;
      slot = &window_[next_++ % window_.size()];
      slot->state = Slot::running;
      ++running_;
    }
    // The slot stays as it is until its outcome is reported: no lock is needed to read it.
    Outcome outcome;
    try {
      outcome = converter.convert_file(slot->folder->dir, slot->name, slot->path,
                                       slot->folder->neighbours);
    } catch (const std::bad_alloc&) {
      // Not even its outcome could be had: the file goes again alone, in its turn.
      outcome.kind = Outcome::failed;
      outcome.short_of_resources = true;
    }
    bool wake;
    {
      Lock lock(mutex_);
      --running_;
      if (outcome.kind == Outcome::failed && outcome.short_of_resources) {
        // What ran short may have gone to the files beside it: this one is converted
        // again, alone and in its turn, and so is the rest of the run.
        serial_ = true;
        slot->state = Slot::waiting;
      } else {
        slot->outcome = std::move(outcome);
        slot->state = Slot::done;
      }
      wake = owner_waits_;
    }
    if (wake) finished_.post();
  }
}

bool Workers::report_head(bool wait) {
  Outcome outcome;
  // Released here, on the owner's thread, after the lock: the last conversion in a folder
  // closes it.
  std::shared_ptr<const Folder> folder;
  for (;;) {
    Slot* mine = nullptr;  // a file to convert here, alone
    {
      Lock lock(mutex_);
      owner_waits_ = false;
      if (head_ == tail_) return false;
      Slot& slot = window_[head_ % window_.size()];
      if (slot.state == Slot::done) {
        outcome = std::move(slot.outcome);
        folder = std::move(slot.folder);
        slot = Slot{};
        ++head_;
        // An outcome of the walk's own may be reported before any worker passed it.
        next_ = std::max(next_, head_);
        break;
      }
      if (slot.state == Slot::waiting && serial_ && running_ == 0) {
        // No worker converts anything now: its converter is free.
        slot.state = Slot::running;
        mine = &slot;
      } else if (!wait) {
        return false;
      } else {
        owner_waits_ = true;
      }
    }
    if (mine) {
      Outcome o = alone(converters_[0]).convert_file(mine->folder->dir, mine->name, mine->path,
                                                     mine->folder->neighbours);
      Lock lock(mutex_);
      mine->outcome = std::move(o);
      mine->state = Slot::done;
    } else {
      // The head is converted by a worker, or waits for the workers' files to finish:
      // each posts once it is done, whatever became of its file.
      finished_.wait();
    }
  }
  report_(outcome);
  return true;
}

Workers::Slot& Workers::take_slot() {
  while (report_head(false)) {
  }
  while (tail_ - head_ == window_.size()) report_head(true);
  return window_[tail_ % window_.size()];
}

void Workers::convert(std::shared_ptr<const Folder> folder, const std::string& name,
                      const std::string& path) {
  bool serial, here;
  {
    Lock lock(mutex_);
    serial = serial_;
    here = threads_.empty() || serial_ || first_alone_;
  }
  first_alone_ = false;
  if (here) {
    // No thread could be started, the machine ran short of something, or the file system
    // is learnt from this file: the file is converted here, as by a single worker, once
    // those before it are reported.
    finish();
    Converter& converter = serial ? alone(converters_[0]) : converters_[0];
    report_(converter.convert_file(folder->dir, name, path, folder->neighbours));
    return;
  }
  Slot& slot = take_slot();
  slot.folder = std::move(folder);
  slot.name = name;
  slot.path = path;
  {
    Lock lock(mutex_);
    ++tail_;
  }
  work_.post();
}

void Workers::add(Outcome outcome) {
  if (head_ == tail_) {
    report_(outcome);
    return;
  }
  Slot& slot = take_slot();
  slot.outcome = std::move(outcome);
  slot.state = Slot::done;
  Lock lock(mutex_);
  ++tail_;
}

void Workers::finish() {
  while (report_head(true)) {
  }
}

}  // namespace nivra
