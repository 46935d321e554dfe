#include "convert/convert_file.h"

#include <cstdint>
#include <cstring>
#include <new>
#include <optional>

#include "convert/transcode_lines.h"
#include "convert/write_behind.h"
#include "text/unicode.h"

namespace nivra {

inline constexpr std::string_view BACKUP_SUFFIX = ".OLD";
inline constexpr std::string_view TEMPORARY_PREFIX = ".nivra-";

/// Files are read this many bytes at a time, whatever their size.
inline constexpr std::size_t READ_BLOCK = std::size_t(1) << 20;
/// The most bytes of a character cut at the end of a block, carried into the next.
inline constexpr std::size_t MAX_CARRY = 4;

/// How the content of one file becomes its new content.
struct Converter::Plan {
  std::string_view head;  ///< written first
  std::size_t start;      ///< where the text begins
  Encoding source;
  Encoding target;
};

namespace {

/// Closes an open file on every way out of a scope, unless close() did.
class Closer {
 public:
  explicit Closer(FileSystem& fs, File file = File{}) : fs_(fs), file_(file) {}
  ~Closer() {
    if (file_.id != File{}.id) fs_.close(file_);
  }
  Closer(const Closer&) = delete;
  Closer& operator=(const Closer&) = delete;
  File& file() { return file_; }
  /// Closes the file now; whether what was written to it is kept.
  Status close() {
    const Status s = fs_.close(file_);
    file_ = File{};
    return s;
  }

 private:
  FileSystem& fs_;
  File file_;
};

/// Removes a temporary name on the way out of a scope, unless it was kept.
class TemporaryName {
 public:
  TemporaryName(FileSystem& fs, Dir dir, std::string name)
      : fs_(fs), dir_(dir), name_(std::move(name)) {}
  ~TemporaryName() {
    if (!kept_) fs_.remove(dir_, name_);
  }
  TemporaryName(const TemporaryName&) = delete;
  TemporaryName& operator=(const TemporaryName&) = delete;
  const std::string& name() const { return name_; }
  void keep() { kept_ = true; }

 private:
  FileSystem& fs_;
  Dir dir_;
  std::string name_;
  bool kept_ = false;
};

Outcome failure(std::string_view message, std::string path, std::string reason) {
  return Outcome{Outcome::failed, message, std::move(path), std::move(reason)};
}

std::string loss_reason(std::size_t offset) {
  return "cannot be converted without loss, first at byte " + std::to_string(offset);
}

}  // namespace

std::string temporary_prefix(const std::string& name) {
  // FNV-1a of the name: every run's temporaries of a file begin alike, whatever its name.
  std::uint64_t hash = 0xcbf29ce484222325ull;
  for (unsigned char c : name) {
    hash ^= c;
    hash *= 0x100000001b3ull;
  }
  static constexpr char DIGITS[] = "0123456789abcdef";
  std::string out(TEMPORARY_PREFIX);
  for (int shift = 60; shift >= 0; shift -= 4) out.push_back(DIGITS[hash >> shift & 0xF]);
  out.push_back('-');
  return out;
}

std::string temporary_name(const std::string& name, std::string_view kind, std::string_view run) {
  std::string out = temporary_prefix(name);
  out.append(run).append(".").append(kind);
  return out;
}

bool is_temporary_name(std::string_view name) { return name.starts_with(TEMPORARY_PREFIX); }

Converter::Converter(FileSystem& fs, AnsiCodePage& acp, Direction direction)
    : fs_(fs), acp_(acp), direction_(direction), run_(fs.run_tag()) {}

/// Reads the `n` bytes of `file` from `offset` on into buffer_, after the first `keep`
/// bytes there. Fewer bytes than the file had when it was opened means it changed.
Status Converter::read_at(File file, std::uint64_t offset, std::size_t n, std::size_t keep) {
  if (keep == 0 && held_at_ == offset && held_ >= n) return Status{};
  held_ = 0;
  try {
    if (buffer_.size() < keep + n) buffer_.resize(keep + n);
  } catch (const std::bad_alloc&) {
    return Status{Fault::too_large, 0};
  }
  std::size_t size = 0;
  while (size < n) {
    std::size_t got = 0;
    const Status s = fs_.read(file, offset + size, buffer_.data() + keep + size, n - size, got);
    if (s.fault == Fault::interrupted) continue;
    if (!s.ok()) return s;
    if (got == 0) return Status{Fault::changed, 2};
    size += got;
  }
  if (keep == 0) {
    held_at_ = offset;
    held_ = n;
  }
  return Status{};
}

/// Decides how the file becomes its new content. Beyond the direction's own values: a
/// UTF-16 file with its byte-order mark, and UTF-8 text without the signature, are signed
/// as the text they already are. Whether a file is UTF-8 text may need a pass over it.
Status Converter::choose_plan(File file, const FileState& read, Plan& plan) {
  const DirectionTraits& t = traits(direction_);
  plan = Plan{t.head, t.start, t.source, t.target};
  if (direction_ != Direction::sign) return Status{};
  const std::string_view first(buffer_.data(), held_);
  if (first.starts_with("\xFF\xFE") || first.starts_with("\xFE\xFF")) {
    plan.start = 2;
    plan.source = first[0] == '\xFF' ? Encoding::utf16le : Encoding::utf16be;
    return Status{};
  }
  bool ascii = true;
  std::size_t carry = 0;
  for (std::uint64_t offset = 0; offset < read.size;) {
    const std::size_t n = std::size_t(std::min<std::uint64_t>(READ_BLOCK, read.size - offset));
    const Status s = read_at(file, offset, n, carry);
    if (!s.ok()) return s;
    offset += n;
    std::string_view text(buffer_.data(), carry + n);
    if (offset < read.size) text = text.substr(0, utf8_whole_length(text));
    if (utf8_first_invalid(text) != std::string_view::npos) return Status{};
    ascii = ascii && is_ascii(text);
    carry = carry + n - text.size();
    std::memmove(buffer_.data(), buffer_.data() + text.size(), carry);
  }
  if (!ascii) plan.source = Encoding::utf8;
  return Status{};
}

/// Writes the head and the converted text of `from` into `to`, a block at a time.
/// `converted` tells whether the text converted; the status, whether it was written.
/// Where `read` asks for one, its digest is taken on the way.
Status Converter::write_text(File from, FileState& read, const Plan& plan, File to,
                             Converted& converted) {
  Digest digest;
  if (read.digested) digest.add(lead_.data(), plan.start);
  FileOutput output(fs_, to);
  std::optional<WriteBehind> behind;
  if (write_behind_ && read.size >= WriteBehind::FROM_BYTES) behind.emplace(output);
  BlockWriter writer(output, block_, behind && behind->running() ? &*behind : nullptr);
  writer.append(plan.head);
  const Transcoder transcoder{acp_, plan.source, plan.target};
  Status s;
  std::size_t carry = 0;
  for (std::uint64_t offset = plan.start; offset < read.size;) {
    std::size_t n = std::size_t(std::min<std::uint64_t>(READ_BLOCK, read.size - offset));
    std::size_t skip = 0;
    if (carry == 0 && held_at_ <= offset && offset < held_at_ + held_) {
      // In memory already, from the first read: what is left of it, past the signature.
      skip = std::size_t(offset - held_at_);
      n = std::min(n, held_ - skip);
    } else {
      s = read_at(from, offset, n, carry);
      if (!s.ok()) break;
    }
    held_ = 0;
    const char* begin = buffer_.data() + skip;
    const std::string_view text(begin, carry + n);
    if (read.digested) digest.add(text.data() + carry, n);
    const std::uint64_t text_at = offset - carry;
    offset += n;
    converted = transcode_lines(transcoder, text, offset == read.size, writer);
    if (!converted.lossless()) {
      if (converted.loss != std::string_view::npos) converted.loss += std::size_t(text_at);
      break;
    }
    carry = text.size() - converted.used;
    std::memmove(buffer_.data(), text.data() + converted.used, carry);
  }
  if (read.digested) read.digest = digest.value;
  const Status written = writer.finish();
  return s.ok() ? written : s;
}

/// Copies the bytes of `from` into `to`.
Status Converter::copy_file(File from, const FileState& read, File to) {
  FileOutput output(fs_, to);
  BlockWriter writer(output, block_);
  Status s;
  for (std::uint64_t offset = 0; offset < read.size && s.ok();) {
    const std::size_t n = std::size_t(std::min<std::uint64_t>(READ_BLOCK, read.size - offset));
    s = read_at(from, offset, n);
    if (s.ok()) writer.append(std::string_view(buffer_.data(), n));
    offset += n;
  }
  const Status written = writer.finish();
  return s.ok() ? written : s;
}

/// Whether the file `name` of `dir` holds the content that `read` has the digest of.
bool Converter::holds_content(Dir dir, const std::string& name, const FileState& read) {
  File file;
  if (!fs_.open_read(dir, name, file).ok()) return false;
  Closer closer(fs_, file);
  Digest digest;
  std::uint64_t offset = 0;
  for (std::size_t got = 1; got != 0; offset += got) {
    char buf[65536];
    if (!fs_.read(file, offset, buf, sizeof buf, got).ok()) return false;
    digest.add(buf, got);
  }
  return offset == read.size && digest.value == read.digest;
}

/// What runs that ended while converting the file left beside it: a backup that no longer
/// names the file is the only copy of its original and becomes NAME.OLD; everything else
/// is removed. What runs that may still be going on left stays as it is.
/// Returns the name that could not be cleared, if any, with the reason.
Status Converter::finish_leftovers(Dir dir, const std::string& name, const FileState& read,
                                   const Neighbours& neighbours, std::string& left_name) {
  const std::string prefix = temporary_prefix(name);
  for (const std::string& left : neighbours.temporaries) {
    if (!left.starts_with(prefix)) continue;
    const std::size_t dot = left.rfind('.');
    if (!fs_.run_has_ended(std::string_view(left).substr(prefix.size(), dot - prefix.size())))
      continue;
    ended_run_ = true;
    FileState state;
    if (left.ends_with(".old") && fs_.state_of(dir, left, state).ok() && !state.same_file(read) &&
        fs_.rename(dir, left, name + std::string(BACKUP_SUFFIX)).ok()) {
      // Where NAME.OLD was a second name of the same file, the rename leaves both.
      fs_.remove(dir, left);
      continue;
    }
    const Status s = fs_.remove(dir, left);
    if (!s.ok() && s.fault != Fault::not_found) {
      left_name = left;
      return s;
    }
  }
  return Status{};
}

/// The name only ever changes by one step that puts a complete file in its place. The new
/// content is written beside the file; then, in one step that checks the name still holds
/// the file as it was read, it takes the name and the file goes under a backup name;
/// only then does that backup replace an earlier NAME.OLD. A temporary is removed on the
/// way out unless it took a name.
Outcome Converter::replace(Dir dir, const std::string& name, const std::string& path,
                           File original, FileState& read, const Plan& plan,
                           bool backup_exists) {
  // 1. The new content, complete, beside the file.
  TemporaryName fresh(fs_, dir, temporary_name(name, "new", run_));
  Closer file(fs_);  // closed before the name is removed
  Status s = fs_.create(dir, fresh.name(), file.file());
  if (!s.ok()) {
    fresh.keep();
    return failure(MSG_CREATE_FAILED, path, fs_.describe(s));
  }
  Converted converted;
  s = write_text(original, read, plan, file.file(), converted);
  const Status attributes = s.ok() && converted.lossless()
                                ? fs_.copy_attributes(original, file.file())
                                : Status{};
  const Status closed = file.close();
  if (converted.loss != std::string_view::npos)
    return failure(MSG_LOSSY, path, loss_reason(converted.loss));
  if (converted.failed) return failure(MSG_WRITE_FAILED, path, "the text could not be converted");
  if (s.fault == Fault::changed) return failure(MSG_CHANGED, path, fs_.describe(s));
  if (s.fault == Fault::too_large) return failure(MSG_READ_FAILED, path, fs_.describe(s));
  if (!s.ok() || !(s = closed).ok()) return failure(MSG_WRITE_FAILED, path, fs_.describe(s));
  if (!attributes.ok()) return failure(MSG_CREATE_FAILED, path, fs_.describe(attributes));

  // 2. The new content takes the name, and the file it held goes under a backup name:
  // NAME.OLD itself when there is none yet. Where the file system cannot give the file a
  // second name, the backup is a copy.
  const std::string backup = name + std::string(BACKUP_SUFFIX);
  std::optional<TemporaryName> held;
  s = Status{Fault::exists, 0};
  if (!backup_exists) {
    s = fs_.replace(dir, fresh.name(), name, backup, original, read);
    // Where no hold keeps other machines out, a NAME.OLD that appeared since the listing
    // is another run's claim on the file (unless a run that ended made it): it converts
    // the file.
    if (s.fault == Fault::exists && read.digested && !ended_run_)
      return failure(MSG_OPEN_FAILED, path, fs_.describe(Status{Fault::busy, 0}));
  }
  if (s.fault == Fault::exists) {
    // There, too, a NAME.OLD that holds just what was read is another run's backup, unless
    // a run that ended while converting the file made it.
    if (read.digested && !ended_run_ && holds_content(dir, backup, read))
      return failure(MSG_OPEN_FAILED, path, fs_.describe(Status{Fault::busy, 0}));
    held.emplace(fs_, dir, temporary_name(name, "old", run_));
    s = fs_.replace(dir, fresh.name(), name, held->name(), original, read);
  }
  if (s.fault == Fault::unsupported) {
    if (!held) held.emplace(fs_, dir, temporary_name(name, "old", run_));
    TemporaryName copy(fs_, dir, temporary_name(name, "cpy", run_));
    Closer out(fs_);
    s = fs_.create(dir, copy.name(), out.file());
    if (s.ok()) {
      s = copy_file(original, read, out.file());
      if (s.ok()) s = fs_.copy_attributes(original, out.file());
      const Status closed_copy = out.close();
      if (s.ok()) s = closed_copy;
    }
    if (s.ok()) s = fs_.rename(dir, copy.name(), held->name());
    if (!s.ok()) return failure(MSG_BACKUP_FAILED, path + std::string(BACKUP_SUFFIX), fs_.describe(s));
    copy.keep();
    s = fs_.replace(dir, fresh.name(), name, "", original, read);
  }
  if (s.fault == Fault::changed) return failure(MSG_CHANGED, path, fs_.describe(s));
  if (s.of_backup)
    return failure(MSG_BACKUP_FAILED, path + std::string(BACKUP_SUFFIX), fs_.describe(s));
  if (!s.ok()) return failure(MSG_WRITE_FAILED, path, fs_.describe(s));
  fresh.keep();

  // 3. The backup replaces the earlier one. Should that fail, it stays under its
  // temporary name, the only copy of the original, for the next run to finish.
  if (held) {
    s = fs_.rename(dir, held->name(), backup);
    if (!s.ok()) {
      // The original goes back under its name; should that fail too, it stays under its
      // temporary name, the only copy of the original, for the next run to finish.
      if (!fs_.rename(dir, held->name(), name).ok()) held->keep();
      return failure(MSG_BACKUP_FAILED, path + std::string(BACKUP_SUFFIX), fs_.describe(s));
    }
    // Removed after the rename too (held is not kept): when NAME.OLD already was a name of
    // the very file (a run stopped before its replace), the rename leaves both names.
  }
  return Outcome{};
}

Outcome Converter::convert_file(Dir dir, const std::string& name, const std::string& path,
                                const Neighbours& neighbours) {
  try {
    return convert(dir, name, path, neighbours);
  } catch (const std::bad_alloc&) {
    // Whatever this file needed, the next one may have: the walk goes on.
    return failure(MSG_READ_FAILED, path, describe_own_fault(Status{Fault::too_large, 0}));
  }
}

Outcome Converter::convert(Dir dir, const std::string& name, const std::string& path,
                           const Neighbours& neighbours) {
  File in;
  Status s = fs_.open_read(dir, name, in);
  if (!s.ok()) return failure(MSG_OPEN_FAILED, path, fs_.describe(s));
  // Held until the new file is in place: no other run converts it meanwhile.
  Closer closer(fs_, in);

  FileState read;
  held_ = 0;
  s = fs_.state(in, read);
  if (s.ok()) s = read_at(in, 0, std::size_t(std::min<std::uint64_t>(READ_BLOCK, read.size)));
  if (s.fault == Fault::changed) return failure(MSG_CHANGED, path, fs_.describe(s));
  if (!s.ok()) return failure(MSG_READ_FAILED, path, fs_.describe(s));

  // Only after the read: on some systems removing a name of a held file ends the hold.
  ended_run_ = false;
  if (!neighbours.temporaries.empty()) {
    std::string left;
    s = finish_leftovers(dir, name, read, neighbours, left);
    if (!s.ok()) {
      const std::size_t base = path.size() - name.size();
      return failure(MSG_WRITE_FAILED, path.substr(0, base) + left, fs_.describe(s));
    }
  }

  const DirectionTraits& t = traits(direction_);
  if (is_signed(std::string_view(buffer_.data(), held_)) != t.converts_signed)
    return Outcome{Outcome::skipped, t.skip_message, {}, {}};

  // Which file a name stands for cannot be told on some file systems: there the content
  // read identifies it.
  read.digested = fs_.needs_digest(in);
  lead_.assign(buffer_.data(), std::min<std::size_t>(held_, 3));

  Plan plan;
  s = choose_plan(in, read, plan);
  if (s.fault == Fault::changed) return failure(MSG_CHANGED, path, fs_.describe(s));
  if (!s.ok()) return failure(MSG_READ_FAILED, path, fs_.describe(s));
  const bool backup_exists = neighbours.names.count(name + std::string(BACKUP_SUFFIX)) != 0;
  return replace(dir, name, path, in, read, plan, backup_exists);
}

}  // namespace nivra
