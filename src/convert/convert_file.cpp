#include "convert/convert_file.h"

#include <cstdint>
#include <limits>
#include <memory>

#include "convert/transcode_lines.h"
#include "text/unicode.h"

namespace nivra {

inline constexpr std::string_view BACKUP_SUFFIX = ".OLD";
inline constexpr std::string_view TEMPORARY_PREFIX = ".nivra-";

/// How the content of one file becomes its new content.
struct Converter::Plan {
  std::string_view head;  ///< written first
  std::size_t start;      ///< where the text begins
  Encoding source;
  Encoding target;
};

namespace {

/// The plan for a file that the direction converts. Beyond the direction's own values:
/// a UTF-16 file with its byte-order mark, and UTF-8 text without the signature, are
/// signed as the text they already are.
auto plan_for(Direction direction, std::string_view content) {
  const DirectionTraits& t = traits(direction);
  struct {
    std::string_view head;
    std::size_t start;
    Encoding source, target;
  } plan{t.head, t.start, t.source, t.target};
  if (direction == Direction::sign) {
    if (content.starts_with("\xFF\xFE")) {
      plan.start = 2;
      plan.source = Encoding::utf16le;
    } else if (content.starts_with("\xFE\xFF")) {
      plan.start = 2;
      plan.source = Encoding::utf16be;
    } else if (!is_ascii(content) && utf8_first_invalid(content) == std::string_view::npos) {
      plan.source = Encoding::utf8;
    }
  }
  return plan;
}

/// Closes an open file on every way out of a scope.
class Closer {
 public:
  Closer(FileSystem& fs, File file) : fs_(fs), file_(file) {}
  ~Closer() { fs_.close(file_); }
  Closer(const Closer&) = delete;
  Closer& operator=(const Closer&) = delete;

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

std::string temporary_name(const std::string& name, bool backup) {
  // FNV-1a: the same name always gives the same temporary, so the next run that converts
  // the file removes what an interrupted one left.
  std::uint64_t hash = 0xcbf29ce484222325ull;
  for (unsigned char c : name) {
    hash ^= c;
    hash *= 0x100000001b3ull;
  }
  static constexpr char DIGITS[] = "0123456789abcdef";
  std::string out(TEMPORARY_PREFIX);
  for (int shift = 60; shift >= 0; shift -= 4) out.push_back(DIGITS[hash >> shift & 0xF]);
  out += backup ? ".old" : ".new";
  return out;
}

bool is_temporary_name(std::string_view name) { return name.starts_with(TEMPORARY_PREFIX); }

/// Reads all of `file` into content_, however the system hands it over.
Status Converter::read_whole(File file, std::size_t& size) {
  std::uint64_t expected = 0;
  Status s = fs_.file_size(file, expected);
  if (!s.ok()) return s;
  if (expected >= std::numeric_limits<std::size_t>::max() / 2) return Status{Fault::too_large, 0};
  // One byte more than the size, so that the end shows without a second pass.
  if (content_.size() < expected + 1) content_.resize(std::size_t(expected) + 1);
  size = 0;
  for (;;) {
    if (size == content_.size()) content_.resize(content_.size() * 2);
    std::size_t got = 0;
    s = fs_.read(file, content_.data() + size, content_.size() - size, got);
    if (s.fault == Fault::interrupted) continue;
    if (!s.ok() || got == 0) return s;
    size += got;
  }
}

/// Creates `name` modelled on `model`. A name that is taken can only be the leftover of an
/// interrupted run (another run cannot be converting the same file): it is removed and
/// the creation tried again.
Status Converter::create_fresh(Dir dir, const std::string& name, File model, File& out) {
  Status s = fs_.create(dir, name, model, out);
  if (s.fault != Fault::exists) return s;
  fs_.remove(dir, name);
  return fs_.create(dir, name, model, out);
}

/// Writes `head` and then `text` into `file`, converted by `plan` when there is one, and
/// closes it. `converted` tells whether the text converted; the status, whether it was kept.
Status Converter::write_content(File file, std::string_view head, std::string_view text,
                                const Plan* plan, Converted& converted) {
  FileOutput output(fs_, file);
  BlockWriter writer(output, block_);
  writer.append(head);
  if (plan)
    converted = transcode_lines(Transcoder{acp_, plan->source, plan->target}, text, writer);
  else
    writer.append(text);
  const Status s = writer.finish();
  const Status closed = fs_.close(file);
  return s.ok() ? closed : s;
}

/// The name only ever changes by one rename of a complete file: the new content is
/// written beside the file, the backup is put under NAME.OLD (replacing an earlier one in
/// one step too), and only then does the new content take the name. Every temporary is
/// removed on the way out unless it took a name.
Outcome Converter::replace(Dir dir, const std::string& name, const std::string& path,
                           File original, std::string_view content, const Plan& plan) {
  const std::string backup = name + std::string(BACKUP_SUFFIX);

  // 1. The new content, complete, beside the file.
  File file;
  Status s = create_fresh(dir, temporary_name(name, false), original, file);
  if (!s.ok()) return failure(MSG_CREATE_FAILED, path, fs_.describe(s));
  TemporaryName fresh(fs_, dir, temporary_name(name, false));
  Converted converted;
  s = write_content(file, plan.head, content.substr(plan.start), &plan, converted);
  if (converted.loss != std::string_view::npos)
    return failure(MSG_LOSSY, path, loss_reason(plan.start + converted.loss));
  if (converted.failed)
    return failure(MSG_WRITE_FAILED, path, "the conversion of the text failed");
  if (!s.ok()) return failure(MSG_WRITE_FAILED, path, fs_.describe(s));

  // 2. The backup: the file itself under a further name where the system links open files,
  // else a copy of what was read. With no earlier backup the name is NAME.OLD at once;
  // otherwise a temporary name that then replaces NAME.OLD.
  const bool links = fs_.links_open_files();
  s = links ? fs_.link(original, dir, backup) : Status{Fault::other, 0};
  if (!s.ok()) {
    TemporaryName old(fs_, dir, temporary_name(name, true));
    if (s.fault == Fault::exists) {
      s = fs_.link(original, dir, old.name());
      if (s.fault == Fault::exists) {
        fs_.remove(dir, old.name());  // left by an interrupted run
        s = fs_.link(original, dir, old.name());
      }
    }
    if (!s.ok()) {
      File copy;
      Converted copied;
      s = create_fresh(dir, old.name(), original, copy);
      if (s.ok()) s = write_content(copy, {}, content, nullptr, copied);
    }
    // Removed after the rename too: when NAME.OLD already is a link to this very file (a
    // run stopped between the backup and the replace), the rename does nothing.
    if (s.ok()) s = fs_.rename(dir, old.name(), backup);
    if (!s.ok()) return failure(MSG_BACKUP_FAILED, path + std::string(BACKUP_SUFFIX),
                                fs_.describe(s));
  }

  // 3. The new content takes the name.
  s = fs_.rename(dir, fresh.name(), name);
  if (!s.ok()) return failure(MSG_WRITE_FAILED, path, fs_.describe(s));
  fresh.keep();
  return Outcome{};
}

Outcome Converter::convert_file(Dir dir, const std::string& name, const std::string& path,
                                const std::vector<std::string>& leftovers) {
  File in;
  Status s = fs_.open_read(dir, name, in);
  if (!s.ok()) return failure(MSG_OPEN_FAILED, path, fs_.describe(s));
  // Held until the new file is in place: no other run converts it meanwhile.
  Closer closer(fs_, in);

  std::size_t size = 0;
  s = read_whole(in, size);
  if (!s.ok()) return failure(MSG_READ_FAILED, path, fs_.describe(s));
  const std::string_view content(content_.data(), size);

  // What an interrupted run left for this file; nobody else uses it while the file is held.
  // Only after the read: on some systems removing a name of a held file ends the hold.
  for (const bool backup : {false, true}) {
    const std::string temp = temporary_name(name, backup);
    for (const std::string& left : leftovers)
      if (left == temp) fs_.remove(dir, temp);
  }

  const DirectionTraits& t = traits(direction_);
  if (is_signed(content) != t.converts_signed)
    return Outcome{Outcome::skipped, t.skip_message, {}, {}};

  const auto p = plan_for(direction_, content);
  return replace(dir, name, path, in, content, Plan{p.head, p.start, p.source, p.target});
}

}  // namespace nivra
