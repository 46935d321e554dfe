// The Windows platform's steps on names: ReplaceFileW, rename and remove.

#include <windows.h>

#include <algorithm>
#include <vector>

#include "platform/win32/win32_platform.h"
#include "platform/win32/win32_rules.h"
#include "platform/win32/win32_system.h"

namespace nivra {

using namespace win32;

namespace {

/// Whether `target` still names the file that `read` found, as it was found; its attributes
/// into `attributes`. `transient` tells whether a later attempt may find otherwise.
Status check_named(const std::wstring& target, const FileStat& read, DWORD& attributes,
                   bool& transient) {
  FileStat now;
  const Status s = identify(target, now, &attributes);
  if (s.fault == Fault::not_found || (s.ok() && !now.same_file(read)))
    return Status{Fault::replaced};
  if (!s.ok()) {
    // A name that cannot be asked which file it holds is another run's in the middle of a
    // step (Wine says "invalid handle" of a file another machine's run is moving).
    transient = true;
    return Status{Fault::busy, s.code};
  }
  if (!now.unchanged(read)) return Status{Fault::modified};
  return Status{};
}

}  // namespace

Status Win32Platform::settle_replaced(const std::wstring& target, const std::wstring& fresh,
                                      const std::wstring& saved, const FileStat& read,
                                      unsigned long attributes) {
  const bool with_backup = !saved.empty();
  // The name was checked just before the call: had another program put a file there
  // meanwhile, that file is under the backup name now, and goes back. Where the name was
  // taken again before it could, that file stays under the run's own name, kept: it is
  // no original, and never becomes the backup.
  FileStat replaced;
  if (with_backup && identify(saved, replaced).ok() && !replaced.unchanged(read) &&
      MoveFileExW(target.c_str(), fresh.c_str(), 0)) {
    const Status other{replaced.same_file(read) ? Fault::modified : Fault::replaced};
    if (!MoveFileExW(saved.c_str(), target.c_str(), 0)) keep(saved);
    return other;
  }
  SetFileAttributesW(target.c_str(), attributes);
  if (with_backup) SetFileAttributesW(saved.c_str(), attributes);
  return Status{};
}

Status Win32Platform::replace_once(const std::wstring& target, const std::wstring& fresh,
                                   const std::wstring& saved, const FileStat& read,
                                   bool& transient) {
  transient = false;
  DWORD attributes = 0;
  Status s = check_named(target, read, attributes, transient);
  if (!s.ok()) return s;
  // ReplaceFileW refuses a read-only file: the attribute is off for the call, and the new
  // file and the backup (the original itself) have it again after.
  const DWORD kept = settable_attributes(attributes);
  const DWORD kept_or_normal = kept ? kept : FILE_ATTRIBUTE_NORMAL;
  const bool read_only = attributes & FILE_ATTRIBUTE_READONLY;
  if (read_only) {
    const DWORD writable = kept & ~FILE_ATTRIBUTE_READONLY;
    if (!SetFileAttributesW(target.c_str(), writable ? writable : FILE_ATTRIBUTE_NORMAL)) {
      transient = is_transient(GetLastError(), true);
      return last_error();
    }
  }
  s = copy_security(target, fresh);
  const bool with_backup = !saved.empty();
  DWORD e = 0;
  // ReplaceFileW opens the new file itself: the run's lock on it ends here.
  if (s.ok()) unlock_range(fresh);
  if (s.ok() && !ReplaceFileW(target.c_str(), fresh.c_str(), with_backup ? saved.c_str() : nullptr,
                              0, nullptr, nullptr))
    e = GetLastError();
  if (s.ok() && e == 0) return settle_replaced(target, fresh, saved, read, kept_or_normal);
  bool refused = false;
  const bool stranded = undo_failed_replace(target, fresh, saved, read, e, refused);
  if (read_only) SetFileAttributesW(stranded ? saved.c_str() : target.c_str(), kept_or_normal);
  // The name holds another file, or none that this run emptied: a run of another machine,
  // which share modes do not keep out, took the file meanwhile. (An original that could
  // not go back stays under the run's own name, for the next run.) A name that refused the
  // original was taken, though that run may have emptied it again for a moment since.
  FileStat there;
  const Status found = identify(target, there);
  const bool taken = refused || (found.ok() ? !there.same_file(read)
                                            : found.fault == Fault::not_found && !stranded);
  if (taken && (stranded || e == 0 || left_by_replace(e, with_backup) == Left::as_they_were))
    return Status{Fault::busy, s.ok() ? int(e) : s.code};
  if (!s.ok()) return s;
  transient = !stranded && is_transient(e, with_backup);
  // A name that the replace needed was taken meanwhile: another run's, of another machine.
  if (taken_meanwhile(e)) return Status{Fault::busy, int(e)};
  return from_error(e).at(Step::swap);
}

bool Win32Platform::undo_failed_replace(const std::wstring& target, const std::wstring& fresh,
                                        const std::wstring& saved, const FileStat& read,
                                        unsigned long error, bool& refused) {
  refused = false;
  FileStat under_backup;
  const bool with_backup = !saved.empty();
  if (with_backup && identify(saved, under_backup).ok() && under_backup.same_file(read)) {
    // The original was moved aside but the new file did not take its name (two names the
    // system takes for one, say): it goes back, or stays under the run's own name, which
    // nothing later overwrites, and the run reports the file.
    if (MoveFileExW(saved.c_str(), target.c_str(), 0)) return false;
    refused = taken_meanwhile(GetLastError());
    keep(saved);
    return true;
  }
  if (left_by_replace(error, with_backup) == Left::name_empty)
    MoveFileExW(fresh.c_str(), target.c_str(), 0);
  return false;
}

void Win32Platform::put_back(const std::wstring& target, const std::wstring& fresh,
                             const std::wstring& own) {
  if (!MoveFileExW(target.c_str(), fresh.c_str(), 0)) {
    keep(own);
    return;
  }
  if (!MoveFileExW(own.c_str(), target.c_str(), 0)) {
    MoveFileExW(fresh.c_str(), target.c_str(), 0);
    keep(own);
  }
}

void Win32Platform::pause(long ns) { Sleep(DWORD(ns / 1000000)); }

void Win32Platform::release(File file) {
  if (HANDLE h = take_handle(file)) CloseHandle(h);
}

Status Win32Platform::replace_file(Dir dir, const std::string& temp, const std::string& name,
                                   const std::string& backup, File original,
                                   const FileStat& read) {
  const std::wstring target = path_in(dir, name), fresh = path_in(dir, temp);
  const std::wstring wanted = backup.empty() ? L"" : path_in(dir, backup);
  // ReplaceFileW replaces a file under the backup name: the original goes under a name of
  // this run's own, which no other file has, and only then takes the name asked for.
  const std::wstring own =
      backup.empty() ? L"" : dir_path(dir) + L"\\" + widen(TempName::with_kind(temp, TempName::Kind::held));
  const bool then_move = !wanted.empty() && wanted != own;
  // No other run opens the file once its lock is released.
  const ScopedMutex mutex(mutex_, mutex_stuck_);
  if (!mutex.owned()) return Status{Fault::busy, 0};
  // ReplaceFileW opens the file itself, sharing it with others: the lock is released here.
  release(original);
  if (!own.empty() && GetFileAttributesW(own.c_str()) != INVALID_FILE_ATTRIBUTES)
    return Status{Fault::exists, ERROR_ALREADY_EXISTS, Step::backup};
  // A backup that appeared since the folder was listed is another run's claim on the
  // file (another machine's, or one the system takes for the same name), unless this run
  // put it there itself, finishing what a run that ended left.
  if (then_move && GetFileAttributesW(wanted.c_str()) != INVALID_FILE_ATTRIBUTES) {
    if (made(wanted))
      return Status{Fault::exists, ERROR_ALREADY_EXISTS, Step::backup};
    return Status{Fault::busy, ERROR_ALREADY_EXISTS};
  }
  // A scanner or an indexer may have any of the files open for a moment.
  Status s;
  for (const unsigned* pause = Waits::retry_pauses;; ++pause) {
    bool transient = false;
    s = replace_once(target, fresh, own, read, transient);
    if (s.ok() || !transient || *pause == 0) break;
    Sleep(*pause);
  }
  if (!s.ok() || own.empty()) return s;
  if (!then_move) {
    lock_range(own);  // a temporary of this run's until it takes its last name
    return s;
  }
  // Taken without replacing: a backup that appeared meanwhile is another run's claim, and
  // everything goes back as it was.
  if (MoveFileExW(own.c_str(), wanted.c_str(), 0)) return s;
  const DWORD e = GetLastError();
  put_back(target, fresh, own);
  if (e == ERROR_ALREADY_EXISTS || e == ERROR_FILE_EXISTS) return Status{Fault::busy, int(e)};
  return other_error(e).at(Step::backup);
}

Status Win32Platform::rename(Dir dir, const std::string& from, const std::string& to) {
  return move(dir, from, to, MOVEFILE_REPLACE_EXISTING);
}

Status Win32Platform::rename_noreplace(Dir dir, const std::string& from, const std::string& to) {
  return move(dir, from, to, 0);  // fails where `to` is taken
}

Status Win32Platform::move(Dir dir, const std::string& from, const std::string& to,
                           unsigned long flags) {
  const std::wstring source = path_in(dir, from);
  const std::wstring target = path_in(dir, to);
  // No other run opens a file while its lock is released; a run stopped with the mutex
  // does not stop this one from finishing its files.
  const ScopedMutex mutex(mutex_, mutex_stuck_);
  std::vector<std::size_t> locks = release_locks(source);
  for (const std::size_t i : release_locks(target)) locks.push_back(i);
  void* probe = nullptr;
  if (!may_take(source, probe)) {
    reopen_locks(locks);
    return Status{Fault::busy, ERROR_LOCK_VIOLATION};
  }
  // A scanner or an indexer may have either file open for a moment.
  Status s;
  for (const unsigned* pause = Waits::retry_pauses;; ++pause) {
    if (MoveFileExW(source.c_str(), target.c_str(), DWORD(flags))) {
      s = Status{};
      break;
    }
    const DWORD e = GetLastError();
    s = from_error(e);
    if (!is_transient(e, true) || *pause == 0) break;
    Sleep(*pause);
  }
  release_probe(probe);
  if (s.ok()) {
    move_range_lock(source, target);
    Lock lock(own_);
    std::replace(kept_.begin(), kept_.end(), source, target);
    made_.push_back(target);
  }
  reopen_locks(locks);
  return s;
}

Status Win32Platform::remove(Dir dir, const std::string& name) {
  const std::wstring full = path_in(dir, name);
  // An original that could not go back under its name is never removed.
  if (kept(full))
    return Status{Fault::busy, ERROR_LOCK_VIOLATION};
  const ScopedMutex mutex(mutex_, mutex_stuck_);
  const std::vector<std::size_t> locks = release_locks(full);
  unlock_range(full);
  void* probe = nullptr;
  if (!may_take(full, probe)) {
    reopen_locks(locks);
    return Status{Fault::busy, ERROR_LOCK_VIOLATION};
  }
  const Status s = DeleteFileW(full.c_str()) ? Status{} : last_error();
  release_probe(probe);
  reopen_locks(locks);
  return s;
}

}  // namespace nivra
