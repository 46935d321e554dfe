#pragma once

// What the files converted at once may take of the machine, and the descriptors the
// walk's folders may hold, owned by the walk and handed down by reference to its workers,
// their converters and the folders it opens.
//
// Locks of the core, in the only order a thread may hold them together:
//   1. the lock of the file being converted (FileSystem::open_read), held to its end;
//   2. Workers' mutex, held only to read and change the window, never while converting
//      or waiting;
//   3. Budget's mutex, held only to count.
// A folder's descriptor goes back to the budget on whichever thread lets go of the folder
// last, walk or worker; a folder is never refused by waiting.
// WriteBehind and Pieces use semaphores, no lock: their owner waits on them only for work
// handed to their own threads, which end it without any lock or permit.
// A large-file permit is waited for with no file lock held (Converter::open_source); a
// thread that holds one may wait for a file lock, but a holder of a file lock never waits
// for a permit, so the two waits cannot close a circle.

#include <cstdint>

#include "platform/host.h"
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
  /// The most files converted at once: the workers of a run on a share.
  static constexpr unsigned MOST_WORKERS = 16;
  /// Descriptors a file being converted holds at most at once: its source, its temporary,
  /// the copy that becomes its backup, another name of it being checked, a listing of its
  /// folder, the stand-in for its descriptor dropped before its close, and two to spare.
  static constexpr int FILE_DESCRIPTORS = 8;
  /// Descriptors the run holds besides its files and folders: the standard streams, the
  /// tree's own folder, the walk's listing, and what the C library opens for itself.
  static constexpr int RUN_DESCRIPTORS = 32;
  /// Descriptors the walk's folders leave to the rest: as many as the most workers need,
  /// whatever the number of this run, so that how deep the walk goes under a limit of open
  /// files is the same on every machine.
  static constexpr int KEPT_BACK = RUN_DESCRIPTORS + FILE_DESCRIPTORS * int(MOST_WORKERS);

  /// `files`: how many files and folders the process may hold open.
  explicit Budget(unsigned workers = 1, const OpenFiles& files = OpenFiles{});
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

  /// Takes a descriptor for a folder the walk opens below the tree's own; fails, as the
  /// system fails an open past its limit, while the walk's folders hold all they may.
  Status take_folder();
  void give_folder();

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
  std::uint64_t folders_;  ///< descriptors free for the walk's folders
  Status folders_held_;    ///< what take_folder() fails with
};

}  // namespace nivra
