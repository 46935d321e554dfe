#include "convert/swap.h"

#include <algorithm>
#include <optional>

#include "convert/replace.h"
#include "convert/temp_name.h"
#include "platform/io.h"

namespace nivra {

Status Swap::put(const std::string& backup) {
  caps_ = fs_.caps(dir_);
  if (caps_.replace_file) return by_replace_file(backup);
  if (!backup.empty()) {
    if (!caps_.links) return Status{Fault::cannot_link, 0, Step::backup};
    const Status s = link_backup(backup);
    if (!s.ok()) return s;
  }
  // Where a name replaced while a descriptor is open would disappear for a moment (a
  // user-space file system), the original is let go of first.
  if (caps_.shared) fs_.release(original_);
  bool settled = false;
  const Status s = swap_in(settled);
  if (settled) return s;
  // On a share, a NAME.OLD that another client's run may have made its backup meanwhile
  // (it holds the original all the same) stays where the name changed; a name of this
  // run's own goes.
  const bool own_backup = same_run_and_file(temp_, backup);
  if (!backup.empty() && (own_backup || !read_.digested || !changed_meanwhile(s)))
    remove_own(backup);
  return s.at(Step::swap);
}

Status Swap::link_backup(const std::string& backup) {
  // A share's client may link by the name it last knew the file by, which another client
  // may have given another file meanwhile: there the link goes under a name of the run's
  // own, is shown to be the file read, and only then takes the backup name, by a step
  // that fails where that is taken. So no name but the run's own is removed for a link
  // that went wrong: another client's run may put its backup there at any moment.
  const bool own = same_run_and_file(temp_, backup);
  const std::string linked =
      caps_.shared && !own ? TempName::with_kind(temp_, TempName::Kind::linked) : backup;
  Status s = fs_.link(original_, dir_, linked);
  if (s.fault == Fault::not_found) return Status{Fault::replaced};  // the file has no name left
  if (!s.ok()) return s.at(Step::backup);
  // Some file systems link by name, whatever the descriptor: there the backup must be
  // shown to be the file that was read.
  s = read_.digested || linked != backup ? check_name(linked, Fault::replaced) : Status{};
  if (!s.ok()) {
    // Another client's run may have put its backup of the same original there since:
    // that stays.
    if (linked != backup || own || !check_name(backup, Fault::replaced).ok()) remove_own(linked);
    return changed_meanwhile(s) ? s : s.at(Step::backup);
  }
  if (linked != backup) {
    s = rename_to_free(linked, backup);
    if (!s.ok()) {
      remove_own(linked);
      return s.at(Step::backup);
    }
  }
  return Status{};
}

Status Swap::swap_in(bool& settled) {
  // What came out of the exchange must be the file as it was read, else the two swap
  // back, provided the name still holds the new file: another program may have saved
  // over it meanwhile, and its file stays.
  FileStat fresh;
  Status s = fs_.stat_at(dir_, temp_, fresh);
  if (!s.ok()) return s;
  s = caps_.exchange ? fs_.exchange(dir_, temp_, name_) : Status{Fault::unsupported, 0};
  if (s.ok()) {
    FileStat out, now;
    s = fs_.stat_at(dir_, temp_, out);
    if (s.ok() && !out.unchanged(read_))
      s = Status{out.same_file(read_) ? Fault::modified : Fault::replaced};
    if (s.ok()) {
      remove_own(temp_);
      settled = true;
      return s;
    }
    if (!fs_.stat_at(dir_, name_, now).ok() || now.same_file(fresh))
      fs_.exchange(dir_, temp_, name_);
    return s;
  }
  if (s.fault != Fault::unsupported) return s;
  s = by_moves();
  // Taken by another program while it was free: the original stays aside, and the
  // backup, another name of it, stays too. So too where a step failed otherwise and the
  // original could not go back, for the name held another file by then.
  FileStat now;
  const bool aside = !s.ok() && s.fault != Fault::modified && s.fault != Fault::busy &&
                     fs_.stat_at(dir_, aside_name(temp_), fresh).ok();
  if (aside && s.fault != Fault::replaced && fs_.stat_at(dir_, name_, now).ok())
    s = Status{Fault::replaced};
  settled = s.ok() || (aside && s.fault == Fault::replaced);
  return settled && !s.ok() ? s.at(Step::swap) : s;
}

Status Swap::by_moves() {
  // The name is never replaced, for what was checked may change before the step that
  // replaces it.
  const Status recorded = write_name_record(fs_, dir_, temp_, name_);
  if (!recorded.ok()) return recorded;
  const Status s = move_in();
  settle_record(aside_name(temp_));
  return s;
}

void Swap::settle_record(const std::string& original) {
  // Kept only while the name is empty and the original under `original`, for the next
  // run, which puts it back; named all the same, as every name a run leaves. Another
  // machine's run may leave the name empty for a moment, between two steps of its own
  // that put a file back under it: the name is looked at again for a while.
  FileStat st;
  bool empty = fs_.stat_at(dir_, original, st).ok() && !fs_.stat_at(dir_, name_, st).ok();
  for (long waited = 0; empty && caps_.rename_look_ns > 0 && waited < caps_.rename_shows_ns;
       waited += caps_.rename_look_ns) {
    fs_.pause(caps_.rename_look_ns);
    empty = !fs_.stat_at(dir_, name_, st).ok();
  }
  if (empty)
    left_.emplace_back(name_record(temp_), Status{});
  else
    remove_own(name_record(temp_));
}

Status Swap::move_in() {
  const std::string aside = aside_name(temp_);
  // A share's client may rename by a copy and a removal (S3 has no rename), so that two
  // runs both move one original aside, and both put a new file under the name. Each looks
  // for another run's aside name that came while it moved the original: of two such runs,
  // at least one sees the other's, for each moves before it looks, and that one backs off.
  std::vector<std::string> before, after;
  const bool looks = caps_.shared && asides_of_others(before);
  Status s = fs_.rename(dir_, name_, aside);
  if (!s.ok()) return s.fault == Fault::not_found ? Status{Fault::replaced} : s;
  s = check_name(aside, Fault::modified);
  if (!s.ok()) {
    put_back(aside);  // another program's file
    return s;
  }
  if (looks && asides_of_others(after) &&
      std::any_of(after.begin(), after.end(), [&](const std::string& other) {
        return std::find(before.begin(), before.end(), other) == before.end();
      })) {
    // The other run may be putting its new file under the name: that is awaited, for a
    // while, so that the original put back does not take the name from it. Where the other
    // run's new file took the name, the original stays aside; where the other run put its
    // copy of the original back first, this one goes.
    for (long waited = 0; waited < caps_.rename_shows_ns && !present(name_);
         waited += caps_.rename_look_ns)
      fs_.pause(caps_.rename_look_ns);
    put_back(aside);
    if (!present(aside)) return Status{Fault::busy};
    if (!check_name(name_, Fault::replaced).ok()) return Status{Fault::replaced};
    remove_own(aside);
    return Status{Fault::busy};
  }
  s = rename_to_free(temp_, name_);
  if (s.fault == Fault::exists) return Status{Fault::replaced};
  // A user-space file system may give the new file the name and then report a failure:
  // libfuse looks the new name up after a link, and that fails where another client
  // moved it meanwhile. Where the name holds the new file's content, the step was done.
  if (!s.ok() && caps_.shared && name_holds_new()) {
    remove_own(temp_);
    s = Status{};
  }
  if (!s.ok()) {
    put_back(aside);
    return s;
  }
  // A user-space file system learns of the close of the original only after the close
  // returns; a name removed while it still counts the file open would stay as a hidden
  // name for a moment.
  if (caps_.shared && caps_.close_moment_ns > 0) fs_.pause(caps_.close_moment_ns);
  remove_own(aside);
  return Status{};
}

Status Swap::by_replace_file(const std::string& backup) {
  // The system's replace leaves the name empty between its two steps.
  const Status recorded = write_name_record(fs_, dir_, temp_, name_);
  // A record already there is another run's, of another machine, with the same tag.
  if (recorded.fault == Fault::exists) return Status{Fault::busy, recorded.code};
  if (!recorded.ok()) return recorded.at(Step::swap);
  const Status s = fs_.replace_file(dir_, temp_, name_, backup, original_, read_);
  const std::string held = TempName::with_kind(temp_, TempName::Kind::held);
  settle_record(held);
  // An original that could not go back stays under the run's own name, and so does
  // another program's file that the name held, once the name was taken again: named. (A
  // name there already is another run's, of another machine with the same tag.)
  FileStat st;
  if (!s.ok() && s.fault != Fault::exists && held != backup && fs_.stat_at(dir_, held, st).ok())
    left_.emplace_back(held, check_name(held, Fault::modified).ok() ? Status{}
                                                                    : Status{Fault::modified});
  return s;
}

Status Swap::check_name(const std::string& name, Fault differs) {
  FileStat now;
  Status s = fs_.stat_at(dir_, name, now);
  if (!s.ok()) return s.fault == Fault::not_found ? Status{Fault::replaced} : s;
  if (!read_.digested) return now.unchanged(read_) ? Status{} : Status{differs};
  // Which file a name stands for cannot be told here: its content must be the one read.
  // A name that cannot be opened or read is not shown to hold another file: the failure
  // is this run's own.
  s = name_holds_digest(fs_, dir_, name, read_.size, read_.digest);
  if (s.fault == Fault::not_found) return Status{Fault::replaced};
  return changed_meanwhile(s) ? Status{differs} : s;
}

bool Swap::name_holds_new() {
  File file;
  if (!fs_.open_read(dir_, temp_, file).ok()) return false;
  Digest digest;
  std::uint64_t size = 0;
  const Status s = digest_file(fs_, file, digest, size);
  fs_.close(file);
  return s.ok() && name_holds_digest(fs_, dir_, name_, size, digest.value).ok();
}

bool Swap::asides_of_others(std::vector<std::string>& out) {
  const std::optional<TempName> mine = TempName::parse(temp_);
  const std::string own = aside_name(temp_);
  std::vector<Entry> entries;
  if (!mine || !fs_.list_dir(dir_, entries).ok()) return false;
  out.clear();
  for (const Entry& e : entries) {
    const std::optional<TempName> other = TempName::parse(e.name);
    if (other && other->digest == mine->digest && other->kind == TempName::Kind::aside &&
        e.name != own)
      out.push_back(e.name);
  }
  return true;
}

bool Swap::present(const std::string& name) {
  FileStat st;
  const Status s = fs_.stat_at(dir_, name, st);
  if (!s.ok()) return s.fault != Fault::not_found;
  // Only a regular file is opened to ask: opening a device or a pipe may have effects.
  if (!caps_.shared || !st.regular) return true;
  File file;
  const Status opened = fs_.open_read(dir_, name, file);
  if (opened.ok()) fs_.close(file);
  return opened.fault != Fault::not_found;
}

void Swap::put_back(const std::string& aside) {
  // Where the step that never replaces fails otherwise, by a rename once the name is free.
  const Status back = rename_to_free(aside, name_);
  if (!back.ok() && back.fault != Fault::exists && !present(name_)) fs_.rename(dir_, aside, name_);
}

Status Swap::rename_to_free(const std::string& from, const std::string& to) {
  Status removal;
  const Status s = nivra::rename_to_free(fs_, dir_, from, to, &removal);
  if (!removal.ok()) left_.emplace_back(from, removal);
  return s;
}

void Swap::remove_own(const std::string& name) {
  const Status s = remove_or_left(fs_, dir_, name);
  if (!s.ok()) left_.emplace_back(name, s);
}

}  // namespace nivra
