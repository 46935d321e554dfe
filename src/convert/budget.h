#pragma once

// What the files converted at once may take of the machine, owned by the walk and handed
// down by reference to its workers and their converters.
//
// Locks of the core, in the only order a thread may hold them together:
//   1. the lock of the file being converted (FileSystem::open_read), held to its end;
//   2. Workers' mutex, held only to read and change the window, never while converting
//      or waiting;
//   3. Budget's mutex, held only to count.
// WriteBehind and Pieces use semaphores, no lock: their owner waits on them only for work
// handed to their own threads, which end it without any lock or permit.
// A large-file permit is waited for with no file lock held (Converter::open_source); a
// thread that holds one may wait for a file lock, but a holder of a file lock never waits
// for a permit, so the two waits cannot close a circle.

#include "platform/threads.h"

namespace nivra {

class Budget {
 public:
  /// Large files converted at once: each takes buffers of a few MiB.
  static constexpr int LARGE_FILES = 8;
  /// Pieces of large files held at once, by all files together.
  static constexpr int PIECES = 8;
  /// Files written behind at once, each holding a block more.
  static constexpr int WRITING_BEHIND = 4;

  explicit Budget(unsigned workers = 1) : workers_(workers) {}
  Budget(const Budget&) = delete;
  Budget& operator=(const Budget&) = delete;

  /// How many files are converted side by side; with 1, no threads at all.
  unsigned workers() const { return workers_; }
  void set_workers(unsigned workers) { workers_ = workers; }

  /// Takes a large-file permit if one is free.
  bool try_large();
  /// Takes a large-file permit, waiting until one is given back: every holder gives its
  /// permit back once its file is done, and waits meanwhile for no permit.
  void wait_large();
  void give_large();

  /// Takes up to `wanted` pieces; none where fewer than 2 are free.
  int take_pieces(int wanted);
  void give_pieces(int n);

  /// Takes the right to write a file behind, if it is free.
  bool take_writing_behind();
  void give_writing_behind();

 private:
  /// Takes one of `free` under the lock, if there is one.
  bool take_one(int& free);
  /// Gives `n` back to `free` under the lock.
  void give(int& free, int n);

  unsigned workers_;
  Mutex mutex_;
  int large_ = LARGE_FILES;   ///< permits free
  int large_waiting_ = 0;     ///< threads in wait_large() not yet woken
  Semaphore large_given_;     ///< posted for each permit given back to a waiting thread
  int pieces_ = PIECES;
  int writing_behind_ = WRITING_BEHIND;
};

}  // namespace nivra
