#pragma once

// What runs that stopped half-way left beside the files of a folder, and what this run
// does with it. Everything a run makes beside a file has a temporary name (TempName); a
// run that is killed leaves those names, and may leave a file's name empty. What becomes
// of a leftover depends on its kind, on the state of the run that left it (RunState), and
// on whether other machines reach the file system (Reach):
//
//                               this run  ended            alive   earlier boot     elsewhere
//                                         local   share            local   share
//   Beside the file (BESIDE):
//     held, aside (originals)   keep      finish  finish   keep    finish  report   report
//     every other kind          keep      remove  after    keep    remove  report   report
//   Under a name left empty (MISSING):
//     aside, held               keep      put back         keep    keep             keep
//     fresh                     keep      NAME.OLD back    keep    keep             keep
//     record                    keep      names it         report  keep             keep
//     every other kind          keep      keep             keep    keep             keep
//
// - finish: the only copy of an original becomes NAME.OLD; one that holds the bytes the
//   name holds was made before a replace that never happened, and goes as any other kind.
// - remove: before the file is converted. after: once the file is converted or left
//   alone, never after a failure: on a share the content found to be the name's may have
//   been a client's stale view of it.
// - report: stays, and is named (undecided()): whether its run ended cannot be known.
// - put back, NAME.OLD back: the original goes back under the name, by a rename that never
//   replaces; the original moved aside before a held one, before NAME.OLD, which holds it
//   only where its run went on to make its new file. A record names the name; one of a run
//   that may still be going on keeps the name missing, and is reported.
// - Only a leftover that is a regular file of the file's owner, of NAME.OLD's owner or of
//   this run's user is touched: another user may plant any name in a shared folder.
//   Another user's leftover that is no original is removed where NAME.OLD holds its bytes.

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "convert/temp_name.h"
#include "platform/file_system.h"
#include "platform/host.h"

namespace nivra {

struct Target;
struct Neighbours;
struct Outcome;
struct LeftName;

/// The state of the run that left a temporary, as this run sees it.
enum class RunState : unsigned char {
  this_run,      ///< this run
  ended,         ///< a run of this machine that has ended
  alive,         ///< a run of this machine that may still be going on
  earlier_boot,  ///< of another machine number, where such numbers are this machine's boots
  elsewhere,     ///< of another machine, which may be going on
};

/// Whether other machines reach the file system a leftover is on.
enum class Reach : unsigned char { local, share };

/// What this run does with a leftover (see the table above).
enum class Action : unsigned char {
  keep,
  report,
  remove,
  remove_after,
  finish,
  put_back,
  backup_back,
  names,
};

namespace recovery_table {
using enum Action;
inline constexpr int STATES = 5;
/// [holds an original][RunState][Reach]
inline constexpr Action BESIDE[2][STATES][2] = {
    {{keep, keep}, {remove, remove_after}, {keep, keep}, {remove, report}, {report, report}},
    {{keep, keep}, {finish, finish}, {keep, keep}, {finish, report}, {report, report}},
};
/// [TempName::Kind][RunState]
inline constexpr Action MISSING[8][STATES] = {
    {keep, backup_back, keep, keep, keep},  // fresh
    {keep, put_back, keep, keep, keep},     // held
    {keep, keep, keep, keep, keep},         // copy
    {keep, put_back, keep, keep, keep},     // aside
    {keep, names, report, keep, keep},      // record
    {keep, keep, keep, keep, keep},         // linked
    {keep, keep, keep, keep, keep},         // probe
    {keep, keep, keep, keep, keep},         // other
};
}  // namespace recovery_table

/// What becomes of the leftover `temp` beside its file.
constexpr Action beside(const TempName& temp, RunState state, Reach reach) {
  return recovery_table::BESIDE[temp.holds_original()][int(state)][int(reach)];
}
/// What the leftover `temp` tells of its file's name, left empty.
constexpr Action of_missing(const TempName& temp, RunState state) {
  return recovery_table::MISSING[int(temp.kind)][int(state)];
}

/// The recovery of one run, under its run's tag: finishes what earlier runs left beside
/// a file before it is replaced, and puts back the originals of names they left empty.
class Recovery {
 public:
  Recovery(FileSystem& fs, Host& host, const RunTag& tag) : fs_(fs), host_(host), tag_(tag) {}

  /// The state of the run that made `temp`.
  RunState state_of(const TempName& temp);

  /// Finishes what runs left beside the target, as BESIDE says. Fails on a name that
  /// cannot be cleared, and on an original whose bytes cannot be read: it stays for a
  /// later run. Comes before the target's replace.
  Outcome finish_leftovers(const Target& target, const Neighbours& neighbours);
  /// Removes the leftovers that finish_leftovers() kept for after the target's replace,
  /// where `done` says the target was converted or left alone; one that cannot be removed
  /// goes on `left`.
  void remove_stale(bool done, std::vector<LeftName>& left);
  /// Whether finish_leftovers() met what a run that ended left beside the target.
  bool ended_run() const { return ended_run_; }
  /// The path of a leftover beside the target last finished that BESIDE reports; "" when
  /// there is none.
  const std::string& undecided() const { return undecided_; }
  /// Forgets what finish_leftovers() found, before the next file.
  void forget_last() {
    undecided_.clear();
    stale_.clear();
  }

  /// Puts the original back under each name of `dir` (whose path is `folder`) that a run
  /// that ended left empty, of the files `selects` takes: a name put back goes on `entries`
  /// and the neighbours' names, and is converted in its turn; what keeps one from going
  /// back goes to `note`. Comes before any file of `dir` is converted.
  void restore_missing(Dir dir, const std::string& folder, Neighbours& neighbours,
                       std::vector<Entry>& entries,
                       const std::function<bool(std::string_view)>& selects,
                       const std::function<void(const Outcome&)>& note);

 private:
  /// A name that a run that ended may have left empty: not listed, but named by a listed
  /// NAME.OLD, or kept in a record of that run whose temporary name carries its digest.
  struct Missing {
    std::string name;
    /// The records that keep it, in the listing's order; none when only NAME.OLD names it.
    /// Runs killed one after another may each leave one, not all beside the original.
    std::vector<std::string> records;
    /// A record of it by a run of this machine that may still be going on; "" for none.
    std::string live_record;
  };
  enum class Restore { nothing, put_back, failed };

  Outcome finish_one(const Target& target, const std::string& left, Action action,
                     Action removal, const FileStat* earlier);
  Outcome to_backup(const Target& target, const std::string& left, const Status& compared);
  std::vector<Missing> missing_names(Dir dir, const Neighbours& neighbours);
  /// Puts the original back under the name of `missing`: of several recorded runs, the
  /// first whose leftovers hold an original. `put_back` also where the name turns out to
  /// hold a file already; `failed` says why the original could not go back (`path` is the
  /// name's), or that a run that may still be going on keeps the name missing.
  Restore restore_name(Dir dir, const Missing& missing, const std::string& path,
                       const Neighbours& neighbours, Outcome& failed);
  /// The name `record` keeps, or "" where it is forged or of no run that ended but for a
  /// run of this machine that may still be going on, which `live` then says.
  std::string recorded_name(Dir dir, const std::string& record, bool& live);
  /// The leftover of an ended run that holds the original of `name`, a missing name: of
  /// the run of `record` where that is not "" (see restore_name()); "" when there is none.
  std::string original_left(Dir dir, const std::string& name, const std::string& record,
                            const Neighbours& neighbours);
  /// Whether `name` holds the bytes of `file`, of `read`'s size; `status` says why that
  /// could not be told (false with a fault), as against bytes that differ (false, ok).
  bool same_content(Dir dir, const std::string& name, File file, const FileStat& read,
                    Status& status);
  /// Whether the leftover `left` beside the target holds the bytes of its NAME.OLD.
  bool held_as_backup(const Target& target, const std::string& left);
  /// Whether a leftover as `left` found it may be finished by this run: a regular file of
  /// the owner of `file` or of the running user.
  bool owned(const FileStat& left, const FileStat& file) const;

  FileSystem& fs_;
  Host& host_;
  RunTag tag_;
  bool ended_run_ = false;          ///< see ended_run()
  std::string undecided_;           ///< see undecided()
  std::vector<std::string> stale_;  ///< leftovers of ended runs, for remove_stale()
  /// Leftovers whose removal a share's client failed, though it shows them gone.
  std::vector<std::pair<std::string, Status>> unconfirmed_;
  Dir stale_dir_{};                 ///< their folder
  std::string stale_folder_;        ///< its path, with the separator
};

}  // namespace nivra
