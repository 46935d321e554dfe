#include "walk/walk.h"

#include <new>
#include <vector>

#include "convert/reasons.h"

namespace nivra {

namespace {

constexpr std::string_view LEFT_UNDECIDED =
    "left by a run of another machine or an earlier boot, which may not have ended; left as "
    "it is";

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

namespace {

/// One directory of the walk, for as long as it is listed.
struct Level {
  Dir dir;
  bool owned;                 ///< opened by the walk, and closed by it
  std::size_t path_length;    ///< of its path, in the walk's path
  std::vector<Entry> entries;
  Neighbours neighbours;
  std::size_t next = 0;       ///< the entry to handle next
};

}  // namespace

void Walk::walk_directory(Dir root, const std::string& root_path) {
  // The walk keeps its own stack, so that a deep tree cannot overflow the program's, and
  // one path that grows and shrinks with it.
  std::string path = root_path;
  std::vector<Level> stack;
  auto enter = [&](Dir dir, bool owned) {
    Level& level = stack.emplace_back(Level{dir, owned, path.size(), {}, {}});
    // The listing is taken whole before any entry is handled, so the files that a
    // conversion creates in this directory are never met by the same walk.
    Status listed;
    try {
      listed = fs_.list_dir(dir, level.entries);
      for (const Entry& entry : level.entries) {
        level.neighbours.names.insert(entry.name);
        if (is_temporary_name(entry.name)) level.neighbours.temporaries.push_back(entry.name);
      }
    } catch (const std::bad_alloc&) {
      level.entries.clear();
      level.neighbours = Neighbours{};
      listed = Status{Fault::too_large, 0};
    }
    if (!listed.ok()) report(Outcome{Outcome::failed, MSG_DIR_FAILED, path, reason(fs_, listed)});
    // A source file whose name a killed run left empty, with its backup and temporaries
    // beside it: its original goes back under the name, and it is converted in its turn.
    for (const Replacer::Missing& missing : converter_.missing_names(dir, level.neighbours)) {
      if (missing.name[0] == '.' || !is_source_file(missing.name)) continue;
      std::string file_path = path;
      file_path.append(1, host_.separator()).append(missing.name);
      Outcome failed;
      switch (converter_.restore_name(dir, missing, file_path, level.neighbours, failed)) {
        case Replacer::Restore::nothing:
          break;
        case Replacer::Restore::failed:
          report(failed);
          break;
        case Replacer::Restore::put_back:
          level.entries.push_back(Entry{missing.name, EntryKind::regular});
          level.neighbours.names.insert(missing.name);
          break;
      }
    }
  };
  enter(root, false);
  while (!stack.empty()) {
    Level& level = stack.back();
    if (level.next == level.entries.size()) {
      if (level.owned) fs_.close_dir(level.dir);
      stack.pop_back();
      if (!stack.empty()) path.resize(stack.back().path_length);
      continue;
    }
    const Entry& entry = level.entries[level.next++];
    // Skips "." and "..", and every other name that begins with a dot.
    if (entry.name.empty() || entry.name[0] == '.') continue;
    path.resize(level.path_length);
    path.append(1, host_.separator()).append(entry.name);
    switch (entry.kind) {
      case EntryKind::directory: {
        Dir sub;
        const Status s = fs_.open_dir(level.dir, entry.name, sub);
        if (!s.ok()) {
          report(Outcome{Outcome::failed, MSG_DIR_FAILED, path, reason(fs_, s)});
          break;
        }
        enter(sub, true);  // `level` and `entry` are not used after this
        break;
      }
      case EntryKind::regular:
        if (is_source_file(entry.name)) {
          report(converter_.convert_file(level.dir, entry.name, path, level.neighbours));
          if (!converter_.undecided().empty()) {
            // Not a failure of the file: a line on standard error alone, and the exit status.
            ++failures_;
            std::string line(traits(direction_).program);
            line.append(": ").append(converter_.undecided()).append(": ");
            reporter_.diagnostic(line.append(LEFT_UNDECIDED).append("\n"));
          }
          // A name the conversion left behind, whatever became of the file.
          for (const LeftName& left : converter_.left()) {
            ++failures_;
            std::string line(traits(direction_).program);
            line.append(": ").append(left.name).append(": ").append(left.reason).append("\n");
            reporter_.diagnostic(line);
          }
        }
        break;
      case EntryKind::other:
        // A FIFO, socket or device is never opened: it could block or have effects.
        if (is_source_file(entry.name))
          report(Outcome{Outcome::failed, MSG_OPEN_FAILED, path,
                         reason(fs_, Status{Fault::not_regular, 0})});
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

}  // namespace nivra
