#pragma once

// How a new file takes a file's name in one step, written once over the calls of the
// seam, in the three ways file systems allow:
//
// - exchange: the new file and the name swap places in one step; what came out must be
//   the file as it was read, else they swap back.
// - moves: where two names cannot be swapped (a user-space file system), the original is
//   moved aside under a name of the run's own, shown to be the file read, and the new file
//   then takes the free name by a step that fails where another program took it. The name
//   is empty in between: it is recorded beside the temporary first (write_name_record()),
//   so that the next run puts the original back should this one be killed there.
// - replace_file: the system replaces the file and keeps the old one under a backup name
//   itself (Windows), with the name recorded as for the moves.
//
// The backup, where one is wanted, is the original itself under a second name (link()),
// made before the swap; on a share first under a name of the run's own, shown to be the
// file read, for a client may link by the name, whose file another client may have
// changed meanwhile.

#include <string>
#include <utility>
#include <vector>

#include "platform/file_system.h"

namespace nivra {

/// The names a swap made and could not remove, each with the failure of its removal; one
/// kept on purpose (a record of a name, an original that could not go back), with none;
/// another program's file kept, with `modified`.
using LeftBehind = std::vector<std::pair<std::string, Status>>;

class Swap {
 public:
  /// The new file `temp` of `dir` is to take `name`, which holds `original` as `read`
  /// found it, open and locked.
  Swap(FileSystem& fs, Dir dir, const std::string& temp, const std::string& name,
       File original, const FileStat& read, LeftBehind& left)
      : fs_(fs), dir_(dir), temp_(temp), name_(name), original_(original), read_(read),
        left_(left) {}

  /// Puts `temp` under the name in one step, and the file that the name held under
  /// `backup` (which must not exist; "" when no backup is wanted), provided the name still
  /// is the original as it was read: the same file, of the same size and modification
  /// time, or of the same digest where the file system cannot tell files apart. Otherwise
  /// changes nothing and fails with `replaced` (another file has the name) or `modified`
  /// (its content changed). Fails with `cannot_link` where the file system cannot keep
  /// the original under a second name. The failure's `step` says which step failed. Ends
  /// the lock on the original, which is then only closed.
  /// Where the name was taken while the original was aside, the original stays under
  /// aside_name(temp) and the failure is `replaced`.
  Status put(const std::string& backup);

 private:
  Status link_backup(const std::string& backup);
  /// The swap itself; `settled` where its outcome is put()'s own, with no backup to remove.
  Status swap_in(bool& settled);
  Status by_moves();
  Status move_in();
  Status by_replace_file(const std::string& backup);
  /// Removes the record of the name, unless the name is empty and the original under
  /// `original`: then it stays for the next run, noted as left.
  void settle_record(const std::string& original);
  /// Whether `name` holds the original as it was read, by its digest where it has one;
  /// else fails with `replaced`, or with `differs` where the name holds other content.
  Status check_name(const std::string& name, Fault differs);
  /// Whether the name holds the content of the new file `temp`.
  bool name_holds_new();
  /// The names under which other runs keep the original while its name is free, as the
  /// folder lists them now; false where it cannot be listed.
  bool asides_of_others(std::vector<std::string>& out);
  /// Whether `name` is there, asked of the file system itself on a share, whose client
  /// may answer from a cache; a name that cannot be asked about counts as there.
  bool present(const std::string& name);
  /// Puts the original, moved aside, back under the name unless that was taken again.
  void put_back(const std::string& aside);
  /// rename_to_free(), noting a second name left of `from`.
  Status rename_to_free(const std::string& from, const std::string& to);
  /// Removes a name this swap made, or notes it as left.
  void remove_own(const std::string& name);

  FileSystem& fs_;
  Dir dir_;
  const std::string& temp_;
  const std::string& name_;
  File original_;
  const FileStat& read_;
  LeftBehind& left_;
  Capabilities caps_;
};

}  // namespace nivra
