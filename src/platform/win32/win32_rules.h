#pragma once

// Decisions of the Windows platform that need nothing of Windows itself: what a listed
// entry is to the walk, the form of every path handed to the system, and where a failed
// ReplaceFileW left the files. Apart from the calls, so that any system can test them.

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_system.h"

namespace nivra::win32 {

// The values of the system's headers, which this file does not include.
inline constexpr std::uint32_t ATTR_READONLY = 0x1;
inline constexpr std::uint32_t ATTR_HIDDEN = 0x2;
inline constexpr std::uint32_t ATTR_SYSTEM = 0x4;
inline constexpr std::uint32_t ATTR_DIRECTORY = 0x10;
inline constexpr std::uint32_t ATTR_ARCHIVE = 0x20;
inline constexpr std::uint32_t ATTR_TEMPORARY = 0x100;
inline constexpr std::uint32_t ATTR_REPARSE_POINT = 0x400;
inline constexpr std::uint32_t ATTR_OFFLINE = 0x1000;
inline constexpr std::uint32_t ATTR_NOT_CONTENT_INDEXED = 0x2000;

inline constexpr std::uint32_t ERR_ACCESS_DENIED = 5;
inline constexpr std::uint32_t ERR_SHARING_VIOLATION = 32;
inline constexpr std::uint32_t ERR_LOCK_VIOLATION = 33;
inline constexpr std::uint32_t ERR_FILE_EXISTS = 80;
inline constexpr std::uint32_t ERR_ALREADY_EXISTS = 183;
inline constexpr std::uint32_t ERR_UNABLE_TO_REMOVE_REPLACED = 1175;
inline constexpr std::uint32_t ERR_UNABLE_TO_MOVE_REPLACEMENT = 1176;
inline constexpr std::uint32_t ERR_UNABLE_TO_MOVE_REPLACEMENT_2 = 1177;
/// Of the platform's own: a name that the system may take for another (see repeated()).
inline constexpr int ERR_AMBIGUOUS_NAME = -2;

/// Whether a reparse point with `tag` stands for another name (a symbolic link, junction
/// or mount point) rather than holding data of its own (a cloud placeholder, a
/// deduplicated file): the bit IsReparseTagNameSurrogate tests.
inline bool is_name_surrogate(std::uint32_t tag) { return (tag & 0x20000000u) != 0; }

/// Whether a reparse point with `tag` is passed over as a link: a name surrogate, or one
/// whose tag could not be read (0, as Wine gives for a Unix symbolic link), since what
/// cannot be told from a link may lead out of the tree.
inline bool is_link_tag(std::uint32_t tag) { return tag == 0 || is_name_surrogate(tag); }

/// What the walk makes of a listed entry. Links are passed over, and so are folders that
/// are both hidden and system: the system's own ($RECYCLE.BIN, System Volume Information).
inline EntryKind kind_of(std::uint32_t attributes, std::uint32_t reparse_tag) {
  if ((attributes & ATTR_REPARSE_POINT) && is_link_tag(reparse_tag)) return EntryKind::symlink;
  if (!(attributes & ATTR_DIRECTORY)) return EntryKind::regular;
  const std::uint32_t own = ATTR_HIDDEN | ATTR_SYSTEM;
  return (attributes & own) == own ? EntryKind::symlink : EntryKind::directory;
}

/// `full`, an absolute path, in the form that the system takes as it is: \\?\ before it
/// (\\?\UNC\ for a share), so that no name is trimmed of dots or spaces or taken for a
/// device such as AUX or CON.
inline std::wstring long_path(std::wstring_view full) {
  if (full.starts_with(L"\\\\?\\")) return std::wstring(full);
  if (full.starts_with(L"\\\\.\\")) return L"\\\\?\\" + std::wstring(full.substr(4));
  if (full.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + std::wstring(full.substr(2));
  return L"\\\\?\\" + std::wstring(full);
}

/// Whether `path` must go through GetFullPathNameW to be absolute and plain: it is
/// relative to the current folder or drive, or has a part "." or "..".
inline bool needs_resolving(std::wstring_view path) {
  const bool absolute = path.starts_with(L"\\\\") ||
                        (path.size() >= 3 && path[1] == L':' && path[2] == L'\\');
  if (!absolute) return true;
  if (path.starts_with(L"\\\\?\\")) return false;
  std::wstring_view rest = path;
  for (std::size_t at; !rest.empty(); rest.remove_prefix(at == rest.npos ? rest.size() : at + 1)) {
    at = rest.find(L'\\');
    const std::wstring_view part = rest.substr(0, at);
    if (part == L"." || part == L"..") return true;
  }
  return false;
}

/// Argument 0 with every separator the system accepts as the one the core cuts at.
inline std::string with_backslashes(std::string argv0) {
  for (char& c : argv0)
    if (c == '/') c = '\\';
  return argv0;
}

/// The attributes SetFileAttributesW can give a file, of those `attributes` holds.
inline std::uint32_t settable_attributes(std::uint32_t attributes) {
  return attributes & (ATTR_READONLY | ATTR_HIDDEN | ATTR_SYSTEM | ATTR_ARCHIVE | ATTR_TEMPORARY |
                       ATTR_OFFLINE | ATTR_NOT_CONTENT_INDEXED);
}

/// Where a failed ReplaceFileW left the files, as its documentation says.
enum class Left {
  as_they_were,   ///< every file under its own name
  name_empty,     ///< the original is gone, the new file under its temporary name
  under_backup,   ///< the original under the backup name, the name empty
};

inline Left left_by_replace(std::uint32_t error, bool with_backup) {
  switch (error) {
    case ERR_UNABLE_TO_MOVE_REPLACEMENT:
      return with_backup ? Left::as_they_were : Left::name_empty;
    case ERR_UNABLE_TO_MOVE_REPLACEMENT_2:
      return with_backup ? Left::under_backup : Left::name_empty;
    default:
      return Left::as_they_were;
  }
}

/// Whether a replace that failed with `error`, having changed nothing, may succeed a
/// moment later: another program (a scanner, an indexer) had the file open.
inline bool is_transient(std::uint32_t error, bool with_backup) {
  switch (error) {
    case ERR_SHARING_VIOLATION:
    case ERR_ACCESS_DENIED:
    case ERR_LOCK_VIOLATION:
    case ERR_UNABLE_TO_REMOVE_REPLACED:
      return true;
    case ERR_UNABLE_TO_MOVE_REPLACEMENT:
      return with_backup;
    default:
      return false;
  }
}

/// Whether a step of the replace that failed with `error` met a name that another run took
/// since this run looked: the file is another run's to convert, as one it holds. (The
/// new file that could not take the name once the original had left it found it taken.)
inline bool taken_meanwhile(std::uint32_t error) {
  return error == ERR_FILE_EXISTS || error == ERR_ALREADY_EXISTS ||
         error == ERR_UNABLE_TO_MOVE_REPLACEMENT_2;
}

/// The name of the mutex that runs on one tree pass through (see Win32Platform): of the
/// tree's root folder, by its volume and its index there, so that runs on other trees
/// never wait for it.
inline std::wstring mutex_name(std::uint64_t volume, std::uint64_t index) {
  static constexpr wchar_t DIGITS[] = L"0123456789abcdef";
  std::wstring out = L"Local\\nivra-hold-";
  for (int shift = 28; shift >= 0; shift -= 4) out.push_back(DIGITS[volume >> shift & 0xF]);
  out.push_back(L'-');
  for (int shift = 60; shift >= 0; shift -= 4) out.push_back(DIGITS[index >> shift & 0xF]);
  return out;
}

/// Where a run locks a byte of each of its temporaries while it lives: far past any
/// content, so that the lock never stands in the way of a read or a write.
inline constexpr std::uint64_t RANGE_LOCK_AT = std::uint64_t(1) << 40;

/// What the number of a machine is made of (see RunTag::machine_of()): its name, and the
/// identity its installation was given, where it has one.
inline std::string machine_seed(const std::string& name, const std::string& identity) {
  return identity.empty() ? name : name + "/" + identity;
}

/// A process's start in the terms of RunTag::start, from its creation time (100 ns units
/// since 1601): the millisecond, folded to 32 bits, never 0.
inline std::uint32_t start_of(std::uint64_t creation) {
  const std::uint64_t ms = creation / 10000;
  const std::uint32_t folded = std::uint32_t(ms ^ ms >> 32);
  return folded ? folded : 1;
}

/// Which of `keys`, the names of one folder as the system compares them, come more than
/// once: names that the system may take one for the other.
inline std::vector<bool> repeated(const std::vector<std::wstring>& keys) {
  std::vector<std::size_t> order(keys.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return keys[a] < keys[b]; });
  std::vector<bool> out(keys.size(), false);
  for (std::size_t i = 1; i < order.size(); ++i)
    if (keys[order[i]] == keys[order[i - 1]]) out[order[i]] = out[order[i - 1]] = true;
  return out;
}

/// Whether a name that a folder lists may stand for another name on disk: where the
/// system shows bytes it cannot decode (Wine, of a name not in UTF-8) as U+FFFD, the name
/// given back to it makes another file.
inline bool may_be_made_up(std::wstring_view name) { return name.find(L'\xFFFD') != name.npos; }

/// Whether a file opened as `name` of a folder is the file listed there: the path the
/// system gives the open file, `final`, is the folder's, `folder_final`, with the name
/// (all as the system compares them). A link that the listing showed as a file leads
/// elsewhere.
inline bool leads_back(std::wstring_view folder_final, std::wstring_view name,
                       std::wstring_view final) {
  while (!folder_final.empty() && folder_final.back() == L'\\') folder_final.remove_suffix(1);
  return final.size() == folder_final.size() + 1 + name.size() && final.starts_with(folder_final) &&
         final[folder_final.size()] == L'\\' && final.ends_with(name);
}

/// Every wait and pause of Win32Platform, in milliseconds. Every wait ends: what
/// still stands in the way then is reported with the file.
struct Waits {
  /// For the tree's mutex, before the file is reported as held: longer than another run
  /// holds it in a replace (see retry_pauses).
  static constexpr unsigned mutex = 8000;
  /// For the tree's mutex once a wait came to nothing (a run stopped while it held the
  /// mutex), until one succeeds again.
  static constexpr unsigned mutex_stuck = 300;
  /// Between attempts of a replace or a rename that a scanner or an indexer, holding a file
  /// for a moment, kept from succeeding; 0 ends the list. About two seconds in all.
  static constexpr unsigned retry_pauses[] = {10, 20, 40, 80, 150, 250, 350, 450, 550, 0};
  /// Between attempts to open a name of a file that another thread of this run converts
  /// under another name.
  static constexpr unsigned held_here_pause = 1;
  /// For such a file in all, before its other name is reported as held: longer than the
  /// conversion of the largest source files takes.
  static constexpr unsigned held_here = 10 * 60 * 1000;
  /// How long a run of another machine may keep a name empty between two steps of its
  /// own (its new file out, the file it moved aside back in), and the pause between two
  /// looks for the name.
  static constexpr unsigned name_empty = 500;
  static constexpr unsigned name_empty_look = 10;
};

}  // namespace nivra::win32
