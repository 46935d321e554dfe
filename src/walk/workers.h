#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "convert/convert_file.h"
#include "platform/threads.h"

namespace nivra {

/// A directory of the walk with what its listing showed, for as long as the walk or a
/// conversion of one of its files needs it; closed by the last one.
struct Folder {
  /// `opened_by`: the budget of the walk that opened `dir`, to which the folder gives its
  /// descriptor back once closed; null for a folder that another opened and closes.
  Folder(FileSystem& fs, Dir dir, Budget* opened_by) : fs(fs), dir(dir), opened_by(opened_by) {}
  ~Folder() {
    if (!opened_by) return;
    fs.close_dir(dir);
    opened_by->give_folder();
  }
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;

  FileSystem& fs;
  Dir dir;
  Budget* opened_by;
  Neighbours neighbours;
};

/// Files converted side by side, each worker with its own Converter, and their outcomes
/// handed back in the order the files were given: a window of finished outcomes waits
/// for the ones before it. The walk's own outcomes take their place in the same order.
/// A file that fails for want of something the machine shares (room, memory, open files)
/// may have lost it to the files beside it: once those are finished it is converted again
/// alone, in its turn, and so is every file after it. All but the workers' conversions
/// happen on the thread that owns the object.
class Workers {
 public:
  /// The budget's count of workers, each converting with a copy of `converter`; `report`
  /// takes every outcome, in order, on the owner's thread. With `first_alone`, the first
  /// file given is converted on the owner's thread before any other starts.
  Workers(const Budget& budget, const Converter& converter,
          std::function<void(const Outcome&)> report, bool first_alone = false);
  /// Reports what is left and stops the workers.
  ~Workers();
  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;

  /// Converts the source file `name` of `folder`, whose path is `path`, on a worker.
  void convert(std::shared_ptr<const Folder> folder, const std::string& name,
               const std::string& path);
  /// Reports `outcome` once every file given before it is reported.
  void add(Outcome outcome);
  /// Reports every outcome still waiting, once its file is converted.
  void finish();

 private:
  struct Slot;
  void work(Converter& converter);
  /// Takes a place at the end of the window, reporting finished outcomes to make room.
  Slot& take_slot();
  /// Reports the outcome at the head of the window, waiting for it when `wait`; false
  /// when it is not there yet or the window is empty.
  bool report_head(bool wait);

  std::function<void(const Outcome&)> report_;
  std::vector<Converter> converters_;
  std::vector<Slot> window_;
  std::size_t head_ = 0;  ///< the next outcome to report
  std::size_t next_ = 0;  ///< the next file for a worker
  std::size_t tail_ = 0;  ///< the next free place
  std::size_t running_ = 0;  ///< files the workers are converting
  bool first_alone_;  ///< the next file given is converted alone (owner's thread only)
  bool serial_ = false;  ///< a file ran short of resources: the rest, one at a time
  bool stopping_ = false;
  bool owner_waits_ = false;  ///< the owner waits for a worker to finish a file
  Mutex mutex_;
  Semaphore work_;      ///< a permit for each file given, and for each worker at the end
  Semaphore finished_;  ///< posted when a worker finishes a file while the owner waits
  std::vector<std::unique_ptr<Thread>> threads_;
};

}  // namespace nivra
