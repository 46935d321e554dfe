#pragma once

// Decisions of the Windows platform that need nothing of Windows itself: what a listed
// entry is to the walk, the form of every path handed to the system, and where a failed
// ReplaceFileW left the files. Apart from the calls, so that any system can test them.

#include <cstdint>
#include <string>
#include <string_view>

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
inline constexpr std::uint32_t ERR_UNABLE_TO_REMOVE_REPLACED = 1175;
inline constexpr std::uint32_t ERR_UNABLE_TO_MOVE_REPLACEMENT = 1176;
inline constexpr std::uint32_t ERR_UNABLE_TO_MOVE_REPLACEMENT_2 = 1177;

/// Whether a reparse point with `tag` stands for another name (a symbolic link, junction
/// or mount point) rather than holding data of its own (a cloud placeholder, a
/// deduplicated file): the bit IsReparseTagNameSurrogate tests.
inline bool is_name_surrogate(std::uint32_t tag) { return (tag & 0x20000000u) != 0; }

/// What the walk makes of a listed entry. Links are passed over, and so are folders that
/// are both hidden and system: the system's own ($RECYCLE.BIN, System Volume Information).
inline EntryKind kind_of(std::uint32_t attributes, std::uint32_t reparse_tag) {
  if ((attributes & ATTR_REPARSE_POINT) && is_name_surrogate(reparse_tag))
    return EntryKind::symlink;
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

/// Pauses between attempts of a replace, in milliseconds; 0 ends the list. About two
/// seconds in all.
inline constexpr unsigned RETRY_PAUSES[] = {10, 20, 40, 80, 150, 250, 350, 450, 550, 0};

}  // namespace nivra::win32
