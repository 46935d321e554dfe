#pragma once

// The reads and writes the core repeats until done: interrupted calls are repeated, and
// short ones continued. Every loop over FileSystem::read or Output::write goes through
// these.

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

/// Writes all of `bytes` to `out`, repeating interrupted and short writes; a write that
/// stores nothing and reports no error fails as `stalled`, as it would repeat for ever.
inline Status write_all(Output& out, std::string_view bytes) {
  while (!bytes.empty()) {
    std::size_t put = 0;
    const Status s = out.write(bytes.data(), bytes.size(), put);
    if (s.fault == Fault::interrupted) continue;
    if (!s.ok()) return s;
    if (put == 0) return Status{Fault::stalled, 0};
    bytes.remove_prefix(put);
  }
  return Status{};
}

}  // namespace nivra
