#pragma once

// The names a run gives the files it makes beside a file while it replaces it:
//
//     .nivra-DIGEST-RUN.KIND
//
// DIGEST is the file name's, in 16 hex digits, so every run's temporaries of one file begin
// alike; RUN is the tag of the run that made it (RunTag::format()); KIND says what the file
// holds (TempName::Kind). The leading dot keeps every walk from selecting one. The format
// is written by TempName::format() and read by TempName::parse(), and nowhere else.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace nivra {

class FileSystem;
struct Dir;
struct Status;

/// A digest of bytes that arrive in pieces of any size (64-bit FNV-1a).
struct Digest {
  std::uint64_t value = 0xcbf29ce484222325ull;
  void add(const char* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
      value ^= static_cast<unsigned char>(p[i]);
      value *= 0x100000001b3ull;
    }
  }
  void add(std::string_view s) { add(s.data(), s.size()); }
};

namespace hex {
/// Appends the last `digits` hex digits of `v`, in lower case.
inline void append(std::string& out, std::uint64_t v, int digits) {
  static constexpr char DIGITS[] = "0123456789abcdef";
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) out.push_back(DIGITS[v >> shift & 0xF]);
}
/// The value of the hex digits `text`; nothing where one is not a digit append() writes.
inline std::optional<std::uint64_t> value(std::string_view text) {
  std::uint64_t v = 0;
  for (const char c : text) {
    const int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    if (d < 0) return std::nullopt;
    v = v << 4 | unsigned(d);
  }
  return v;
}
}  // namespace hex

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
    std::string out;
    hex::append(out, machine, 8);
    hex::append(out, process, 8);
    hex::append(out, nonce, 4);
    if (start != 0) hex::append(out, start, 8);
    return out;
  }
  /// The tag that format() gave `text`; nothing for text it does not give.
  static std::optional<RunTag> parse(std::string_view text) {
    if (text.size() != 20 && text.size() != 28) return std::nullopt;
    const auto machine = hex::value(text.substr(0, 8)), process = hex::value(text.substr(8, 8)),
               nonce = hex::value(text.substr(16, 4)), start = hex::value(text.substr(20));
    if (!machine || !process || !nonce || !start) return std::nullopt;
    if (text.size() == 28 && *start == 0) return std::nullopt;  // format() never gives it
    return RunTag{std::uint32_t(*machine), std::uint32_t(*process), std::uint16_t(*nonce),
                  std::uint32_t(*start)};
  }
};

/// A temporary name of a run, taken apart.
struct TempName {
  /// What a temporary holds; its last part, after the dot.
  enum class Kind : unsigned char {
    fresh,   ///< "new": the new content, written beside the file
    held,    ///< "old": the original, under the run's own name until it replaces NAME.OLD
    copy,    ///< "cpy": a copy of the original being written, where there are no links
    aside,   ///< "was": the original, moved aside while the new file takes the free name
    record,  ///< "nam": the record of a name that a step may leave empty
    linked,  ///< "bak": a second name of the original, before it takes the backup name
    probe,   ///< "lnk": a second name made to learn whether the file system keeps links; runs
             ///< no longer make it, but one killed then may have left it
    other,   ///< any other last part: no run writes one
  };

  std::uint64_t digest = 0;  ///< of the name of the file it is made beside
  RunTag run;
  Kind kind = Kind::other;

  /// The temporary of kind `kind` that the run `run` makes beside the file `name`.
  static TempName of(std::string_view name, const RunTag& run, Kind kind) {
    Digest d;
    d.add(name);
    return TempName{d.value, run, kind};
  }
  std::string format() const;
  /// The parts of `name`; nothing where it is not a temporary of a run (no run's tag, or
  /// not in the format). The kind of a last part that no run writes is `other`.
  static std::optional<TempName> parse(std::string_view name);
  /// Whether `name` is a temporary of the file `file`: its digest is the name's.
  bool of_file(std::string_view file) const { return of(file, run, kind).digest == digest; }

  /// What every run's temporaries of the file `name` begin with.
  static std::string prefix(std::string_view name);
  /// `temp` with `kind` for its last part.
  static std::string with_kind(std::string_view temp, Kind kind);
  /// The last part that names `kind`.
  static std::string_view kind_text(Kind kind);
  /// Whether the temporary holds an original: a backup the run held or moved aside.
  constexpr bool holds_original() const { return kind == Kind::held || kind == Kind::aside; }
};

/// True when `name` begins as every temporary name does (whether or not it is one).
bool is_temporary_name(std::string_view name);

/// The name that `temporary_name(name, kind, run)` formats: of the file `name`, of kind
/// `kind` ("new", "old", ...; see TempName::Kind), of the run whose tag formats as `run`.
std::string temporary_name(const std::string& name, std::string_view kind, std::string_view run);
/// What every run's temporaries of the file `name` begin with.
std::string temporary_prefix(const std::string& name);

/// The name under which the original of `temp`'s file is kept while the name is free, on a
/// file system that cannot swap two names: `temp` of kind "was".
/// Whether `name` is a temporary of the run and the file that `temp` is one of.
inline bool same_run_and_file(const std::string& temp, const std::string& name) {
  const std::optional<TempName> a = TempName::parse(temp), b = TempName::parse(name);
  return a && b && a->run == b->run && a->digest == b->digest;
}

inline std::string aside_name(const std::string& temp) {
  return TempName::with_kind(temp, TempName::Kind::aside);
}

/// The name of the record that keeps `name` beside the temporary `temp` while a replace may
/// leave the name empty: `temp` of kind "nam". Only a temporary's digest of `name` is in
/// its own name; a run killed in that moment leaves the name itself here, for the next run
/// to put the original back under.
inline std::string name_record(const std::string& temp) {
  return TempName::with_kind(temp, TempName::Kind::record);
}

/// The longest record of a name that is read back: more than any system's longest name.
inline constexpr std::size_t NAME_RECORD_MAX = 4096;

/// Writes the record of `name` (see name_record()) beside `temp` in `dir`, before a step
/// of a replace that may leave the name empty; it is removed once the name holds a file
/// again. Where it cannot be written whole, none is left, and that step is not taken.
Status write_name_record(FileSystem& fs, Dir dir, const std::string& temp,
                         const std::string& name);
/// The name that the record `record` of `dir` keeps, as write_name_record() wrote it; ""
/// where it cannot be read, or is empty or longer than NAME_RECORD_MAX.
std::string read_name_record(FileSystem& fs, Dir dir, const std::string& record);

}  // namespace nivra
