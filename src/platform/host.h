#pragma once

// What the system says of the running program, apart from its files: where the program
// is, the path separator, which runs are going on, and how many files it may hold open.
// Each platform implements it once; the rule for when a run has ended is written here,
// once (its tags, beside the temporary names they go into).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "convert/temp_name.h"
#include "platform/file_system.h"

namespace nivra {

/// How many files and folders a process may hold open at once.
struct OpenFiles {
  std::uint64_t most = UINT64_MAX;  ///< UINT64_MAX where the system sets no limit
  Status past{Fault::exhausted, 0};  ///< the failure of an open past `most`, as the system's
};

class Host {
 public:
  virtual ~Host() = default;

  /// The path separator of argument 0 and of the paths the core builds.
  virtual char separator() const = 0;
  /// Full path of the running program, as the system reports it.
  virtual Status executable_path(std::string& out) = 0;
  /// The tag of this run, unlike that of any other run here or on another machine.
  virtual RunTag run_tag() = 0;
  /// Whether process `process` of this machine is known to have ended.
  virtual bool process_has_ended(std::uint32_t process) = 0;
  /// When process `process` of this machine, which runs, started, in the terms of
  /// RunTag::start; 0 where that cannot be told (or it has ended meanwhile).
  virtual std::uint32_t process_start(std::uint32_t process) {
    (void)process;
    return 0;
  }
  /// Which file the running program is (the one its code was loaded from), as the system
  /// knows it whatever its path; false where the system cannot say.
  virtual bool executable_stat(FileStat& out) {
    (void)out;
    return false;
  }
  /// Whether executable_stat() is how this system tells which file the running program is:
  /// where it is and cannot say, a run walks no folder; elsewhere a folder is as named.
  virtual bool identifies_program() const { return false; }
  /// Whether a run tagged with another machine's number may be a run of an earlier boot of
  /// this machine, which has ended, as where the number tells boots apart; false where it
  /// is surely another machine's, which may share any disk of this one.
  virtual bool other_machines_may_be_earlier_boots() { return true; }
  /// The user this run acts as, in the terms of FileStat::owner.
  virtual std::uint64_t running_user() { return 0; }
  /// How many files and folders this process may hold open; by default none that the
  /// system sets, as on Windows, whose handles are bounded by memory alone.
  virtual OpenFiles open_files() { return OpenFiles{}; }
};

/// Whether the run tagged `tag` is known to have ended, for the run tagged `mine`: false
/// for a run of another machine, or one that may still be going on.
inline bool run_has_ended(Host& host, const RunTag& mine, std::string_view tag) {
  const std::optional<RunTag> run = RunTag::parse(tag);
  if (!run || run->machine != mine.machine) return false;
  // This process's own number: an earlier process of that number has ended.
  if (run->process == mine.process) return run->nonce != mine.nonce || run->start != mine.start;
  if (run->process == 0) return false;
  if (host.process_has_ended(run->process)) return true;
  // A process of that number runs: the run itself, or a later process that got its number.
  if (run->start == 0) return false;
  const std::uint32_t start = host.process_start(run->process);
  return start != 0 && start != run->start;
}

}  // namespace nivra
