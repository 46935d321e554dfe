#pragma once

// The reads and writes repeated until done: interrupted calls are repeated, and short ones
// continued. Every loop over FileSystem::read, FileSystem::write or Output::write goes
// through these.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/file_system.h"

namespace nivra {

/// Reads `n` bytes of `file` from `offset` on into `to`, or up to its end: `got` says how
/// many came.
inline Status read_up_to(FileSystem& fs, File file, std::uint64_t offset, char* to,
                         std::size_t n, std::size_t& got) {
  got = 0;
  while (got < n) {
    std::size_t part = 0;
    const Status s = fs.read(file, offset + got, to + got, n - got, part);
    if (s.fault == Fault::interrupted) continue;
    if (!s.ok()) return s;
    if (part == 0) break;
    got += part;
  }
  return Status{};
}

/// Reads the `n` bytes of `file` from `offset` on into `to`. Fewer bytes than the file
/// had when it was opened fail as `modified`: it changed while it was read.
inline Status read_fully(FileSystem& fs, File file, std::uint64_t offset, char* to,
                         std::size_t n) {
  std::size_t got = 0;
  const Status s = read_up_to(fs, file, offset, to, n, got);
  if (s.ok() && got < n) return Status{Fault::modified, 0};
  return s;
}

namespace detail {
/// Repeats `write(p, n, put)` until `bytes` are written; a write that stores nothing and
/// reports no error fails as `stalled`, as it would repeat for ever.
template <class Write>
Status write_all_with(Write write, std::string_view bytes) {
  while (!bytes.empty()) {
    std::size_t put = 0;
    const Status s = write(bytes.data(), bytes.size(), put);
    if (s.fault == Fault::interrupted) continue;
    if (!s.ok()) return s;
    if (put == 0) return Status{Fault::stalled, 0};
    bytes.remove_prefix(put);
  }
  return Status{};
}
}  // namespace detail

/// Writes all of `bytes` to `out`, repeating interrupted and short writes.
inline Status write_all(Output& out, std::string_view bytes) {
  return detail::write_all_with(
      [&](const char* p, std::size_t n, std::size_t& put) { return out.write(p, n, put); }, bytes);
}

/// Writes all of `bytes` to `file`, repeating interrupted and short writes.
inline Status write_all(FileSystem& fs, File file, std::string_view bytes) {
  return detail::write_all_with(
      [&](const char* p, std::size_t n, std::size_t& put) { return fs.write(file, p, n, put); },
      bytes);
}

/// Reads `file` from its start to its end, adding every byte to `digest`; `size` says how
/// many there were.
inline Status digest_file(FileSystem& fs, File file, Digest& digest, std::uint64_t& size) {
  size = 0;
  for (;;) {
    char buf[65536];
    std::size_t got = 0;
    const Status s = read_up_to(fs, file, size, buf, sizeof buf, got);
    if (!s.ok() || got == 0) return s;
    digest.add(buf, got);
    size += got;
  }
}

/// Whether `file` holds `size` bytes of digest `digest`: fails with `modified` where it
/// holds others, and with the failure to read it otherwise. Closes the file.
inline Status holds_digest(FileSystem& fs, File file, std::uint64_t size, std::uint64_t digest) {
  Digest got;
  std::uint64_t got_size = 0;
  const Status s = digest_file(fs, file, got, got_size);
  fs.close(file);
  if (!s.ok()) return s;
  return got_size == size && got.value == digest ? Status{} : Status{Fault::modified, 0};
}

/// Whether the file `name` of `dir` holds `size` bytes of digest `digest`: fails with
/// `modified` where it holds others, and with the failure to open or read it otherwise.
inline Status name_holds_digest(FileSystem& fs, Dir dir, const std::string& name,
                                std::uint64_t size, std::uint64_t digest) {
  File file;
  const Status s = fs.open_read(dir, name, file);
  return s.ok() ? holds_digest(fs, file, size, digest) : s;
}

/// Removes `name` of `dir`. Returns the failure where the name may stay: a removal that
/// failed of a name that is gone leaves nothing, unless a share's client only shows it
/// gone.
inline Status remove_or_left(FileSystem& fs, Dir dir, const std::string& name) {
  const Status s = fs.remove(dir, name);
  FileStat there;
  if (s.ok() || s.fault == Fault::not_found ||
      (s.fault != Fault::unconfirmed && !fs.stat_at(dir, name, there).ok()))
    return Status{};
  return s;
}

/// Renames `from` to `to` of `dir` where `to` is free (FileSystem::rename_noreplace()).
/// Where the system leaves `from` as a second name of the file, that goes; the failure of
/// its removal, if any, into `removal`.
inline Status rename_to_free(FileSystem& fs, Dir dir, const std::string& from,
                             const std::string& to, Status* removal = nullptr) {
  const Status s = fs.rename_noreplace(dir, from, to);
  if (!s.ok()) return s;
  const Status removed = remove_or_left(fs, dir, from);
  if (removal && !removed.ok()) *removal = removed;
  return s;
}

}  // namespace nivra
