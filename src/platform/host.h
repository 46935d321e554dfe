#pragma once

// What the system says of the running program, apart from its files: where the program
// is, the path separator, and which runs are going on. Each platform implements it once;
// the tags of runs and the rule for when a run has ended are written here, once.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/file_system.h"

namespace nivra {

/// The tag of a run: the machine, the process, and a nonce that tells the run from an
/// earlier process of the same number; where the system can tell when a process started,
/// that too (see Host::process_start()), which tells the run from a later one.
struct RunTag {
  std::uint32_t machine = 0;
  std::uint32_t process = 0;
  std::uint16_t nonce = 0;
  std::uint32_t start = 0;  ///< 0 where the tag holds none

  bool operator==(const RunTag&) const = default;

  /// The machine's number for `seed`, what tells it from others (its name, its boot).
  static std::uint32_t machine_of(std::string_view seed) {
    Digest d;
    d.add(seed);
    return std::uint32_t(d.value ^ d.value >> 32);
  }

  /// Twenty hex digits: eight for the machine, eight for the process, four for the nonce;
  /// then eight for the start, where there is one.
  std::string format() const {
    static constexpr char DIGITS[] = "0123456789abcdef";
    std::string out;
    const auto hex = [&](std::uint32_t v, int digits) {
      for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4)
        out.push_back(DIGITS[v >> shift & 0xF]);
    };
    hex(machine, 8);
    hex(process, 8);
    hex(nonce, 4);
    if (start != 0) hex(start, 8);
    return out;
  }

  /// The tag that format() gave `text`; nothing for text it does not give.
  static std::optional<RunTag> parse(std::string_view text) {
    if (text.size() != 20 && text.size() != 28) return std::nullopt;
    std::uint64_t v[4] = {};
    const int digits[4] = {8, 8, 4, 8};
    const int parts = text.size() == 20 ? 3 : 4;
    for (int part = 0, at = 0; part < parts; ++part) {
      for (int i = 0; i < digits[part]; ++i, ++at) {
        const char c = text[std::size_t(at)];
        const int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (d < 0) return std::nullopt;
        v[part] = v[part] << 4 | unsigned(d);
      }
    }
    if (parts == 4 && v[3] == 0) return std::nullopt;  // format() never gives it
    return RunTag{std::uint32_t(v[0]), std::uint32_t(v[1]), std::uint16_t(v[2]),
                  std::uint32_t(v[3])};
  }
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
