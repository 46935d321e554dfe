#include "walk/walk.h"

#include <vector>


namespace nivra {

namespace {

bool equals_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    // Only the ASCII letters fold, whatever the locale.
    auto fold = [](char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; };
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

}  // namespace

bool is_source_file(std::string_view name) {
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot + 1 == name.size()) return false;
  const std::string_view ext = name.substr(dot);
  return equals_ignoring_case(ext, ".C") || equals_ignoring_case(ext, ".CPP") ||
         equals_ignoring_case(ext, ".H");
}

void Walk::walk_directory(Dir dir, const std::string& path) {
  FileSystem& p = fs_;
  // The listing is taken whole before any entry is handled, so the files that a
  // conversion creates in this directory are never met by the same walk.
  std::vector<Entry> entries;
  const Status listed = p.list_dir(dir, entries);
  if (!listed.ok()) report(Outcome{Outcome::failed, MSG_DIR_FAILED, path, p.describe(listed)});

  std::vector<std::string> leftovers;
  for (const Entry& entry : entries)
    if (is_temporary_name(entry.name)) leftovers.push_back(entry.name);

  for (const Entry& entry : entries) {
    // Skips "." and "..", and every other name that begins with a dot.
    if (entry.name.empty() || entry.name[0] == '.') continue;
    const std::string child = path + p.separator() + entry.name;
    switch (entry.kind) {
      case EntryKind::directory: {
        Dir sub;
        const Status s = p.open_dir(dir, entry.name, sub);
        if (!s.ok()) {
          report(Outcome{Outcome::failed, MSG_DIR_FAILED, child, p.describe(s)});
          break;
        }
        walk_directory(sub, child);
        p.close_dir(sub);
        break;
      }
      case EntryKind::regular:
        if (is_source_file(entry.name))
          report(converter_.convert_file(dir, entry.name, child, leftovers));
        break;
      case EntryKind::other:
        // A FIFO, socket or device is never opened: it could block or have effects.
        if (is_source_file(entry.name))
          report(Outcome{Outcome::failed, MSG_OPEN_FAILED, child,
                         p.describe(Status{Fault::not_regular, 0})});
        break;
      case EntryKind::symlink:
        // Never followed: it may lead out of the tree or round in a loop.
        break;
    }
  }
}

void Walk::report(const Outcome& outcome) {
  if (outcome.kind == Outcome::converted) return;
  reporter_.message(outcome.message);
  if (outcome.kind == Outcome::skipped) return;
  ++failures_;
  std::string line(traits(direction_).program);
  line.append(": ").append(outcome.path).append(": ").append(outcome.reason).append("\n");
  reporter_.diagnostic(line);
}

Status find_root(FileSystem& platform, std::string_view argv0, std::string& root) {
  const char sep = platform.separator();
  std::string source(argv0);
  if (source.find(sep) == std::string::npos) {
    const Status s = platform.executable_path(source);
    if (!s.ok()) return s;
  }
  // A program in the root of the file system gets "" (on Windows, the drive: "C:").
  root = source.substr(0, source.rfind(sep));
  return Status{};
}

int run_program(FileSystem& platform, AnsiCodePage& acp, Direction direction,
                Reporter& reporter, std::string_view argv0) {
  Walk run(platform, acp, direction, reporter);
  std::string root;
  Status s = find_root(platform, argv0, root);
  if (!s.ok()) {
    run.report(Outcome{Outcome::failed, MSG_DIR_FAILED, std::string(argv0), platform.describe(s)});
    return 1;
  }
  Dir dir;
  s = platform.open_root(root, dir);
  if (!s.ok()) {
    run.report(Outcome{Outcome::failed, MSG_DIR_FAILED,
                       root.empty() ? std::string(1, platform.separator()) : root,
                       platform.describe(s)});
    return 1;
  }
  run.walk_directory(dir, root);
  platform.close_dir(dir);
  return run.failed() ? 1 : 0;
}

}  // namespace nivra
