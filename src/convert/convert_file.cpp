#include "convert/convert_file.h"

#include <cstdint>
#include <limits>

#include "convert/transcode_lines.h"
#include "text/unicode.h"

namespace nivra {

namespace {

inline constexpr std::string_view BACKUP_SUFFIX = ".OLD";
inline constexpr std::string_view TEMPORARY_PREFIX = ".nivra-";

/// How the content of one file becomes its new content.
struct Plan {
  std::string_view head;  ///< written first
  std::size_t start;      ///< where the text begins
  CodePage source;
  CodePage target;
};

/// The plan for a file that the direction converts. Beyond the direction's own values:
/// a UTF-16 file with its byte-order mark, and UTF-8 text without the signature, are
/// signed as the text they already are.
Plan plan_for(Direction direction, std::string_view content) {
  const DirectionTraits& t = traits(direction);
  Plan plan{t.head, t.start, t.source, t.target};
  if (direction == Direction::sign) {
    if (content.starts_with("\xFF\xFE")) {
      plan.start = 2;
      plan.source = CodePage::utf16le;
    } else if (content.starts_with("\xFE\xFF")) {
      plan.start = 2;
      plan.source = CodePage::utf16be;
    } else if (!is_ascii(content) && utf8_first_invalid(content) == std::string_view::npos) {
      plan.source = CodePage::utf8;
    }
  }
  return plan;
}

/// Closes an open file on every way out of a scope.
class Closer {
 public:
  Closer(Platform& platform, File file) : platform_(platform), file_(file) {}
  ~Closer() { platform_.close(file_); }
  Closer(const Closer&) = delete;
  Closer& operator=(const Closer&) = delete;

 private:
  Platform& platform_;
  File file_;
};

/// Reads all of `file` into `buf`, however the system hands it over.
Status read_whole(Platform& p, File file, ReadBuffer& buf, std::size_t& size) {
  std::uint64_t expected = 0;
  Status s = p.file_size(file, expected);
  if (!s.ok()) return s;
  if (expected >= std::numeric_limits<std::size_t>::max() / 2) return Status{Fault::too_large, 0};
  // One byte more than the size, so that the end shows without a second pass.
  if (buf.size() < expected + 1) buf.resize(std::size_t(expected) + 1);
  size = 0;
  for (;;) {
    if (size == buf.size()) buf.resize(buf.size() * 2);
    std::size_t got = 0;
    s = p.read(file, buf.data() + size, buf.size() - size, got);
    if (s.fault == Fault::interrupted) continue;
    if (!s.ok()) return s;
    if (got == 0) return s;
    size += got;
  }
}

/// Creates `name`; a file of that name can only be the leftover of an interrupted run
/// (another run cannot be converting the same file), so it is removed and tried again.
Status create_fresh(Platform& p, Dir dir, const std::string& name, File model, File& out) {
  Status s = p.create(dir, name, model, out);
  if (s.fault != Fault::exists) return s;
  p.remove(dir, name);
  return p.create(dir, name, model, out);
}

/// Writes `bytes` as the new file `name`, modelled on `model`. On failure nothing is left.
/// `create_failed` tells which step failed.
Status write_new_file(Run& run, Dir dir, const std::string& name, File model, const Plan& plan,
                      std::string_view content, bool& create_failed) {
  Platform& p = run.platform;
  File out;
  Status s = create_fresh(p, dir, name, model, out);
  create_failed = !s.ok();
  if (create_failed) return s;
  BlockWriter writer(p, out, run.block);
  writer.append(plan.head);
  transcode_lines(p, content, plan.start, plan.source, plan.target, writer);
  s = writer.finish();
  const Status closed = p.close(out);
  if (s.ok()) s = closed;
  if (!s.ok()) p.remove(dir, name);
  return s;
}

/// Puts the file's present content under NAME.OLD in one step, replacing an earlier
/// backup only once the new one is complete. A hard link costs nothing; where the file
/// system has none, the content in memory is written out instead.
Status make_backup(Run& run, Dir dir, const std::string& name, File file,
                   std::string_view content) {
  Platform& p = run.platform;
  const std::string backup = name + std::string(BACKUP_SUFFIX);
  // With no earlier backup, the link itself is the backup, complete in one step.
  Status s = p.link(file, dir, backup);
  if (s.ok()) return s;
  // Otherwise the new backup is made under a temporary name and then replaces the old.
  const std::string temp = temporary_name(name, true);
  if (s.fault == Fault::exists) {
    s = p.link(file, dir, temp);
    if (s.fault == Fault::exists) {
      p.remove(dir, temp);  // left by an interrupted run
      s = p.link(file, dir, temp);
    }
  }
  if (!s.ok()) {
    const Plan copy{"", 0, CodePage::utf8, CodePage::utf8};
    bool create_failed = false;
    s = write_new_file(run, dir, temp, file, copy, content, create_failed);
    if (!s.ok()) return s;
  }
  s = p.rename(dir, temp, backup);
  // Also after a success: when NAME.OLD already is a link to this very file (a run
  // stopped between the backup and the replace), the rename does nothing and keeps both.
  p.remove(dir, temp);
  return s;
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

void convert_file(Run& run, Dir dir, const std::string& name, const std::string& path,
                  const std::vector<std::string>& leftovers) {
  Platform& p = run.platform;
  File in;
  Status s = p.open_read(dir, name, in);
  if (!s.ok()) return report_failure(run, MSG_OPEN_FAILED, path, p.describe(s));
  // Held until the new file is in place: no other run converts it meanwhile.
  Closer closer(p, in);

  std::size_t size = 0;
  s = read_whole(p, in, run.content, size);
  if (!s.ok()) return report_failure(run, MSG_READ_FAILED, path, p.describe(s));
  const std::string_view content(run.content.data(), size);

  // What an interrupted run left for this file; nobody else uses it while the file is held.
  // Only after the read: on some systems removing a name of a held file ends the hold.
  for (const bool backup : {false, true}) {
    const std::string temp = temporary_name(name, backup);
    for (const std::string& left : leftovers)
      if (left == temp) p.remove(dir, temp);
  }

  const DirectionTraits& t = traits(run.direction);
  if (is_signed(content) != t.converts_signed) return report_skip(run, t.skip_message);

  const Plan plan = plan_for(run.direction, content);
  if (plan.start < content.size()) {
    const std::size_t loss =
        plan.source == plan.target
            ? std::string_view::npos
            : p.first_loss(plan.source, plan.target, content.substr(plan.start));
    if (loss != std::string_view::npos)
      return report_failure(run, MSG_LOSSY, path, loss_reason(plan.start + loss));
  }

  const std::string temp = temporary_name(name, false);
  bool create_failed = false;
  s = write_new_file(run, dir, temp, in, plan, content, create_failed);
  if (!s.ok())
    return report_failure(run, create_failed ? MSG_CREATE_FAILED : MSG_WRITE_FAILED, path,
                          p.describe(s));

  s = make_backup(run, dir, name, in, content);
  if (!s.ok()) {
    p.remove(dir, temp);
    return report_failure(run, MSG_BACKUP_FAILED, path + std::string(BACKUP_SUFFIX),
                          p.describe(s));
  }

  s = p.rename(dir, temp, name);
  if (!s.ok()) {
    p.remove(dir, temp);
    return report_failure(run, MSG_WRITE_FAILED, path, p.describe(s));
  }
}

}  // namespace nivra
