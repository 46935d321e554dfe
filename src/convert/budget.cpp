#include "convert/budget.h"

#include <algorithm>

namespace nivra {

Budget::Budget(unsigned workers, const OpenFiles& files)
    : workers_(workers),
      folders_(files.most > std::uint64_t(KEPT_BACK) ? files.most - KEPT_BACK : 0),
      folders_held_(files.past) {}

bool Budget::take_one(int& free) {
  Lock lock(mutex_);
  if (free == 0) return false;
  --free;
  return true;
}

bool Budget::try_large() { return take_one(large_); }

void Budget::wait_large() {
  for (;;) {
    {
      Lock lock(mutex_);
      if (large_ > 0) {
        --large_;
        return;
      }
      ++large_waiting_;
    }
    // A permit given back meanwhile may go to try_large() first: then this waits again.
    large_given_.wait();
  }
}

void Budget::give_large() {
  bool wake = false;
  {
    Lock lock(mutex_);
    ++large_;
    if (large_waiting_ > 0) {
      --large_waiting_;
      wake = true;
    }
  }
  if (wake) large_given_.post();
}

int Budget::take_pieces(int wanted) {
  Lock lock(mutex_);
  const int take = std::min(wanted, pieces_);
  if (take < 2) return 0;
  pieces_ -= take;
  return take;
}

void Budget::give_pieces(int n) { give(pieces_, n); }

void Budget::give(int& free, int n) {
  Lock lock(mutex_);
  free += n;
}

bool Budget::take_writing_behind() { return take_one(writing_behind_); }

void Budget::give_writing_behind() { give(writing_behind_, 1); }

Status Budget::take_folder() {
  Lock lock(mutex_);
  if (folders_ == 0) return folders_held_;
  --folders_;
  return Status{};
}

void Budget::give_folder() {
  Lock lock(mutex_);
  ++folders_;
}

}  // namespace nivra
