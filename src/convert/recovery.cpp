#include "convert/recovery.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <utility>

#include "convert/reasons.h"
#include "platform/io.h"
#include "convert/replace.h"

namespace nivra {

namespace {

/// The leftovers of `name` among `temporaries`, as TempName takes them apart, the
/// originals first: what NAME.OLD holds once they are finished tells which of the others
/// hold nothing that is not kept.
std::vector<std::pair<std::string, TempName>> leftovers_of(
    const std::string& name, const std::vector<std::string>& temporaries) {
  std::vector<std::pair<std::string, TempName>> out;
  for (const std::string& left : temporaries) {
    const std::optional<TempName> temp = TempName::parse(left);
    if (temp && temp->of_file(name)) out.emplace_back(left, *temp);
  }
  std::stable_partition(out.begin(), out.end(),
                        [](const auto& left) { return left.second.holds_original(); });
  return out;
}

}  // namespace

RunState Recovery::state_of(const TempName& temp) {
  if (temp.run.machine != tag_.machine)
    return host_.other_machines_may_be_earlier_boots() ? RunState::earlier_boot
                                                       : RunState::elsewhere;
  if (temp.run == tag_) return RunState::this_run;
  return run_has_ended(host_, tag_, temp.run.format()) ? RunState::ended : RunState::alive;
}

Outcome Recovery::finish_leftovers(const Target& target, const Neighbours& neighbours) {
  ended_run_ = false;
  undecided_.clear();
  stale_.clear();
  if (neighbours.temporaries.empty()) return Outcome{};
  const Reach reach = !fs_.caps(target.dir).identity ? Reach::share : Reach::local;
  stale_dir_ = target.dir;
  stale_folder_ = target.path.substr(0, target.path.size() - target.name.size());
  // A leftover is judged by the owner of the file that was replaced as well: a run of
  // another user leaves the original, of its owner, beside a new file of its own. NAME.OLD
  // as it was before this run is the file some run replaced.
  const std::string backup = target.name + std::string(BACKUP_SUFFIX);
  FileStat earlier;
  const bool has_earlier = neighbours.names.contains(backup) &&
                           fs_.stat_at(target.dir, backup, earlier).ok() && earlier.regular;
  for (const auto& [left, temp] : leftovers_of(target.name, neighbours.temporaries)) {
    const RunState state = state_of(temp);
    const Action action = beside(temp, state, reach);
    if (action == Action::keep) continue;
    if (action == Action::report) {
      if (undecided_.empty()) undecided_ = stale_folder_ + left;
      continue;
    }
    // An original that turns out to be none goes as any other kind does.
    const Action removal = recovery_table::BESIDE[0][int(state)][int(reach)];
    const Outcome out = finish_one(target, left, action, removal, has_earlier ? &earlier : nullptr);
    if (out.kind == Outcome::failed) return out;
  }
  return Outcome{};
}

/// Finishes `left`, a leftover beside the target that `action` says is to be finished or
/// removed as `removal` says, where this run may: `earlier` is NAME.OLD before this run.
Outcome Recovery::finish_one(const Target& target, const std::string& left, Action action,
                             Action removal, const FileStat* earlier) {
  FileStat stat;
  const Status known = fs_.stat_at(target.dir, left, stat);
  if (!known.ok() && known.fault != Fault::not_found)
    return failure(MSG_WRITE_FAILED, stale_folder_ + left, reason(fs_, known));
  const bool original = action == Action::finish;
  // Another user's leftover that is no original is removed only where NAME.OLD holds its
  // bytes: then nothing is lost whoever made it.
  if (known.ok() ? !owned(stat, target.read) && !(earlier && owned(stat, *earlier)) &&
                       (original || !stat.regular || !held_as_backup(target, left))
                 : original)
    return Outcome{};
  ended_run_ = true;
  // An original that holds what the name holds was made before a replace that never
  // happened: it is none.
  Status compared;
  if (known.ok() && original && !stat.same_file(target.read) &&
      !same_content(target.dir, left, target.original, target.read, compared))
    return to_backup(target, left, compared);
  // On a share, where a NAME.OLD that holds what the name holds is taken for another
  // client's claim, the ended run's leftovers are what shows the claim to be a dead
  // run's: they go once this run's own temporaries have stood in for them.
  if (removal == Action::remove_after) {
    stale_.push_back(left);
    return Outcome{};
  }
  const Status s = fs_.remove(target.dir, left);
  // Gone from a share client's view after a failure, it may stay on the server.
  if (s.fault == Fault::unconfirmed) unconfirmed_.emplace_back(left, s);
  else if (!s.ok() && s.fault != Fault::not_found)
    return failure(MSG_WRITE_FAILED, stale_folder_ + left, reason(fs_, s));
  return Outcome{};
}

/// Makes `left`, an original beside the target whose bytes are not the name's (as
/// `compared` found them), NAME.OLD.
Outcome Recovery::to_backup(const Target& target, const std::string& left,
                            const Status& compared) {
  // One whose content cannot be read (held, a client's error) may hold what the name
  // holds: taken for an original, it would replace the NAME.OLD that holds the real one.
  // It stays for a later run, and so does the file.
  if (compared.fault == Fault::not_found) return Outcome{};
  if (!compared.ok())
    return failure(MSG_BACKUP_FAILED, stale_folder_ + left, reason(fs_, compared));
  // It may be the only copy of an original: where it cannot become NAME.OLD, it stays
  // for a later run, and the file waits for it. It goes under a name of this run's own
  // first, by a step that fails where another run took it meanwhile: a share's client
  // may remove the target of a rename whose source another client moved (rclone), and
  // NAME.OLD would then hold that original.
  const std::string own = TempName::of(target.name, tag_, TempName::Kind::held).format();
  Status moved = rename_to_free(fs_, target.dir, left, own);
  if (moved.fault == Fault::not_found) return Outcome{};
  std::string held = left;
  if (moved.ok()) {
    moved = fs_.rename(target.dir, own, target.name + std::string(BACKUP_SUFFIX));
    // Where it cannot, it goes back under the name it was found under.
    if (!moved.ok() && !rename_to_free(fs_, target.dir, own, left).ok()) held = own;
  }
  if (!moved.ok())
    return failure(MSG_BACKUP_FAILED, stale_folder_ + held, reason(fs_, moved));
  // Where NAME.OLD was a second name of the same file, the rename leaves both.
  fs_.remove(target.dir, own);
  return Outcome{};
}

void Recovery::remove_stale(bool done, std::vector<LeftName>& left) {
  if (!done) stale_.clear();
  for (const std::string& name : stale_) {
    const Status s = fs_.remove(stale_dir_, name);
    if (!s.ok() && s.fault != Fault::not_found)
      left.push_back(LeftName{stale_folder_ + name, "could not be removed: " + reason(fs_, s)});
  }
  for (const auto& [name, s] : unconfirmed_)
    left.push_back(LeftName{stale_folder_ + name, "could not be removed: " + reason(fs_, s)});
  stale_.clear();
  unconfirmed_.clear();
}

bool Recovery::owned(const FileStat& left, const FileStat& file) const {
  return left.regular && (left.owner == file.owner || left.owner == host_.running_user());
}

void Recovery::restore_missing(Dir dir, const std::string& folder, Neighbours& neighbours,
                               std::vector<Entry>& entries,
                               const std::function<bool(std::string_view)>& selects,
                               const std::function<void(const Outcome&)>& note) {
  for (const Missing& missing : missing_names(dir, neighbours)) {
    if (!selects(missing.name)) continue;
    std::string path = folder;
    path.append(1, host_.separator()).append(missing.name);
    Outcome failed;
    switch (restore_name(dir, missing, path, neighbours, failed)) {
      case Restore::nothing:
        break;
      case Restore::failed:
        note(failed);
        break;
      case Restore::put_back:
        entries.push_back(Entry{missing.name, EntryKind::regular});
        neighbours.names.insert(missing.name);
        break;
    }
  }
}

std::vector<Recovery::Missing> Recovery::missing_names(Dir dir, const Neighbours& neighbours) {
  std::vector<Missing> out;
  if (neighbours.temporaries.empty()) return out;  // no run was killed here
  const auto add = [&](std::string name, const std::string& record, bool live) {
    if (name.empty() || neighbours.names.contains(name)) return;
    Missing* m = nullptr;
    for (Missing& each : out) m = each.name == name ? &each : m;
    if (!m) m = &out.emplace_back(Missing{std::move(name), {}, {}});
    if (record.empty()) return;
    if (!live) m->records.push_back(record);
    else if (m->live_record.empty()) m->live_record = record;
  };
  for (const std::string& left : neighbours.temporaries) {
    bool live = false;
    if (left.ends_with(".nam")) {
      std::string name = recorded_name(dir, left, live);
      add(std::move(name), left, live);
    }
  }
  for (const std::string& listed : neighbours.names) add(backup_of(listed), "", false);
  std::sort(out.begin(), out.end(),
            [](const Missing& a, const Missing& b) { return a.name < b.name; });
  return out;
}

Recovery::Restore Recovery::restore_name(Dir dir, const Missing& missing, const std::string& path,
                                         const Neighbours& neighbours, Outcome& failed) {
  // Of several recorded runs, one that moved the original aside or held it goes before
  // one whose new file only says NAME.OLD holds it: that may be an earlier backup.
  const std::string backup = missing.name + std::string(BACKUP_SUFFIX);
  std::string from, old;
  for (const std::string& record :
       missing.records.empty() ? std::vector<std::string>{""} : missing.records) {
    std::string left = original_left(dir, missing.name, record, neighbours);
    if (left == backup) old = std::move(left);
    else if (!left.empty()) from = std::move(left);
    if (!from.empty()) break;
  }
  if (from.empty()) from = old;
  if (from.empty() && !missing.live_record.empty()) {
    failed = failure(MSG_OPEN_FAILED, path,
                     "missing: the run that recorded it in " + missing.live_record +
                         " may still be going on");
    return Restore::failed;
  }
  if (from.empty()) return Restore::nothing;
  const Status s = rename_to_free(fs_, dir, from, missing.name);
  // A name `from` that stays is a leftover beside the file, which its conversion finishes
  // or reports.
  // A name that holds a file after all (a client's listing that missed it, or another run
  // that put it back meanwhile) is converted like any other.
  if (s.ok() || s.fault == Fault::exists) return Restore::put_back;
  failed = failure(MSG_OPEN_FAILED, path, reason(fs_, s));
  return Restore::failed;
}

std::string Recovery::recorded_name(Dir dir, const std::string& record, bool& live) {
  live = false;
  const std::optional<TempName> temp = TempName::parse(record);
  if (!temp) return {};
  const Action action = of_missing(*temp, state_of(*temp));
  if (action != Action::names && action != Action::report) return {};
  live = action == Action::report;
  const std::string name = read_name_record(fs_, dir, record);
  // A plain name of this folder, whose digest the record's own name carries: a record
  // that names another file than its run's temporaries do is nobody's.
  if (name.empty() || name.find_first_of(std::string_view("/\\\0", 3)) != name.npos ||
      name == "." || name == ".." || !temp->of_file(name))
    return {};
  return name;
}

std::string Recovery::original_left(Dir dir, const std::string& name,
                                    const std::string& record_name, const Neighbours& neighbours) {
  const std::string backup = name + std::string(BACKUP_SUFFIX);
  // The leftovers are judged by NAME.OLD where there is one, else by the record: either
  // way they must be regular files of its owner or of this run's user.
  FileStat old, record;
  const bool has_old = fs_.stat_at(dir, backup, old).ok() && old.regular;
  const bool recorded = !record_name.empty() && fs_.stat_at(dir, record_name, record).ok() &&
                        (has_old ? owned(record, old) : record.regular);
  if (!has_old && !recorded) return {};
  const FileStat& judge = has_old ? old : record;
  // A record that this run's user wrote vouches for its run's leftovers whoever owns them:
  // the original moved aside keeps its owner, who need not be the user of that run.
  const bool vouched = recorded && !has_old && record.owner == host_.running_user();
  // A record names the run that emptied the name: only that run's leftovers are taken.
  const std::optional<TempName> recorded_run =
      recorded ? TempName::parse(record_name) : std::nullopt;
  std::string aside, held;
  bool fresh = false;
  for (const std::string& left : neighbours.temporaries) {
    const std::optional<TempName> temp = TempName::parse(left);
    if (!temp || !temp->of_file(name) || (recorded_run && temp->run != recorded_run->run))
      continue;
    const Action action = of_missing(*temp, recorded_run ? RunState::ended : state_of(*temp));
    FileStat stat;
    if ((action != Action::put_back && action != Action::backup_back) ||
        !fs_.stat_at(dir, left, stat).ok() || !(owned(stat, judge) || (vouched && stat.regular)))
      continue;
    if (temp->kind == TempName::Kind::aside) aside = left;
    if (temp->kind == TempName::Kind::held) held = left;
    fresh = fresh || action == Action::backup_back;
  }
  // NAME.OLD holds the original only where the run went on to make its new file.
  return !aside.empty() ? aside : !held.empty() ? held : fresh && has_old ? backup : std::string();
}

/// Whether the file `name` of `dir` holds the same bytes as `file`, as `read` found it.
bool Recovery::same_content(Dir dir, const std::string& name, File file, const FileStat& read,
                            Status& status) {
  FileStat stat;
  status = fs_.stat_at(dir, name, stat);
  if (!status.ok() || stat.size != read.size) return false;
  File other;
  status = fs_.open_read(dir, name, other);
  if (!status.ok()) return false;
  Closer closer(fs_, other);
  std::vector<char> mine(65536), theirs(65536);
  for (std::uint64_t offset = 0; offset < read.size;) {
    const std::size_t n = std::size_t(std::min<std::uint64_t>(mine.size(), read.size - offset));
    // One shorter than its size said changed while it was read: `modified`.
    for (auto [f, buf] : {std::pair{file, &mine}, std::pair{other, &theirs}})
      if (!(status = read_fully(fs_, f, offset, buf->data(), n)).ok()) return false;
    if (std::memcmp(mine.data(), theirs.data(), n) != 0) return false;
    offset += n;
  }
  return true;
}

bool Recovery::held_as_backup(const Target& target, const std::string& left) {
  File file;
  if (!fs_.open_read(target.dir, left, file).ok()) return false;
  Closer closer(fs_, file);
  FileStat stat;
  Status status;
  return fs_.stat(file, stat).ok() &&
         same_content(target.dir, target.name + std::string(BACKUP_SUFFIX), file, stat, status);
}

}  // namespace nivra
