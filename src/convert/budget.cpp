#include "convert/budget.h"

#include <algorithm>

namespace nivra {

bool Budget::try_large() {
  Lock lock(mutex_);
  if (large_ == 0) return false;
  --large_;
  return true;
}

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

void Budget::give_pieces(int n) {
  Lock lock(mutex_);
  pieces_ += n;
}

bool Budget::take_writing_behind() {
  Lock lock(mutex_);
  if (writing_behind_ == 0) return false;
  --writing_behind_;
  return true;
}

void Budget::give_writing_behind() {
  Lock lock(mutex_);
  ++writing_behind_;
}

}  // namespace nivra
