#include "walk/walk.h"

#include <algorithm>
#include <new>
#include <optional>
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

/// One directory of the walk, for as long as it is listed.
struct Walk::Level {
  std::shared_ptr<Folder> folder;
  std::size_t path_length;    ///< of its path, in the walk's path
  std::vector<Entry> entries;
  std::size_t next = 0;       ///< the entry to handle next
};

unsigned worker_count(unsigned processors, bool shared) {
  // On a share most of a file's time is spent waiting for the server, not on a processor.
  if (processors <= 1) return 1;
  return shared ? Budget::MOST_WORKERS : std::min(processors, 8u);
}

void Walk::walk_directory(Dir root, const std::string& root_path) {
  converter_.write_behind(budget_.workers() > 1);
  converter_.pieces(budget_.workers() > 1 ? budget_.workers() : 0);
  std::optional<Workers> workers;
  if (budget_.workers() > 1)
    workers.emplace(budget_, converter_, [this](const Outcome& o) { report(o); }, first_alone_);
  // What the walk itself reports takes its place among the conversions' outcomes.
  const Note note = [&](const Outcome& outcome) {
    if (workers)
      workers->add(outcome);
    else
      report(outcome);
  };
  // The walk keeps its own stack, so that a deep tree cannot overflow the program's, and
  // one path that grows and shrinks with it.
  std::string path = root_path;
  std::vector<Level> stack;
  enter(stack, root, nullptr, path, note);
  while (!stack.empty()) {
    Level& level = stack.back();
    if (level.next == level.entries.size()) {
      // Closed once the conversions of its files are reported too.
      stack.pop_back();
      if (!stack.empty()) path.resize(stack.back().path_length);
      continue;
    }
    const Entry& entry = level.entries[level.next++];
    // Skips "." and "..", and every other name that begins with a dot.
    if (entry.name.empty() || entry.name[0] == '.') continue;
    path.resize(level.path_length);
    path.append(1, host_.separator()).append(entry.name);
    visit(stack, entry, path, workers ? &*workers : nullptr, note);
  }
  if (workers) workers->finish();
}

void Walk::enter(std::vector<Level>& stack, Dir dir, Budget* opened_by, const std::string& path,
                 const Note& note) {
  Level& level =
      stack.emplace_back(Level{std::make_shared<Folder>(fs_, dir, opened_by), path.size(), {}});
  Neighbours& neighbours = level.folder->neighbours;
  // The listing is taken whole before any entry is handled, so the files that a
  // conversion creates in this directory are never met by the same walk.
  Status listed;
  try {
    listed = fs_.list_dir(dir, level.entries);
    for (const Entry& entry : level.entries) {
      neighbours.names.insert(entry.name);
      if (is_temporary_name(entry.name)) neighbours.temporaries.push_back(entry.name);
    }
  } catch (const std::bad_alloc&) {
    level.entries.clear();
    neighbours = Neighbours{};
    listed = Status{Fault::too_large, 0};
  }
  if (!listed.ok()) note(Outcome{Outcome::failed, MSG_DIR_FAILED, path, reason(fs_, listed)});
  // A source file whose name a killed run left empty, with its backup and temporaries
  // beside it: its original goes back under the name, and it is converted in its turn.
  // No worker has a file of this directory yet.
  converter_.recovery().restore_missing(
      dir, path, neighbours, level.entries,
      [](std::string_view name) { return name[0] != '.' && is_source_file(name); }, note);
}

void Walk::visit(std::vector<Level>& stack, const Entry& entry, const std::string& path,
                 Workers* workers, const Note& note) {
  Level& level = stack.back();
  switch (entry.kind) {
    case EntryKind::directory: {
      Dir sub;
      // The folder's descriptor is taken from the budget before the folder is opened.
      Status s = budget_.take_folder();
      if (s.ok()) {
        s = fs_.open_dir(level.folder->dir, entry.name, sub);
        if (!s.ok()) budget_.give_folder();
      }
      if (!s.ok()) {
        note(Outcome{Outcome::failed, MSG_DIR_FAILED, path, reason(fs_, s)});
        break;
      }
      enter(stack, sub, &budget_, path, note);  // `level` and `entry` are not used after this
      break;
    }
    case EntryKind::regular:
      if (!is_source_file(entry.name)) break;
      if (workers)
        workers->convert(level.folder, entry.name, path);
      else
        report(converter_.convert_file(level.folder->dir, entry.name, path,
                                       level.folder->neighbours));
      break;
    case EntryKind::other:
      // A FIFO, socket or device is never opened: it could block or have effects.
      if (is_source_file(entry.name))
        note(Outcome{Outcome::failed, MSG_OPEN_FAILED, path,
                     reason(fs_, Status{Fault::not_regular, 0})});
      break;
    case EntryKind::symlink:
      // Never followed: it may lead out of the tree or round in a loop.
      break;
  }
}

void Walk::name_code_page(const CodePageChoice& choice) {
  code_page_notice_.clear();
  if (choice.by_language) return;
  const std::string_view program = traits(direction_).program;
  const std::string_view variable = choice.variable.empty() ? "LANG" : choice.variable;
  std::string& n = code_page_notice_;
  n.append(program).append(": code page ").append(std::to_string(choice.id)).append(", since ");
  if (choice.variable.empty())
    n.append("no locale variable is set");
  else
    n.append(choice.variable).append("=").append(choice.value).append(" names no language");
  n.append("; for Shift_JIS sources run ").append(variable).append("=ja_JP.UTF-8 ./");
  n.append(program).append("\n");
}

void Walk::report(const Outcome& outcome) {
  const std::string_view program = traits(direction_).program;
  if (outcome.met_code_page && !code_page_notice_.empty()) {
    reporter_.diagnostic(code_page_notice_);
    code_page_notice_.clear();
  }
  if (outcome.kind != Outcome::converted) {
    // Every fixed message has its file on standard error, a skip's too.
    reporter_.message(outcome.message);
    if (outcome.kind == Outcome::failed) ++failures_;
    std::string line(program);
    line.append(": ").append(outcome.path).append(": ").append(outcome.reason).append("\n");
    reporter_.diagnostic(line);
  }
  if (!outcome.undecided.empty()) {
    // Not a failure of the file: a line on standard error alone, and the exit status.
    ++failures_;
    std::string line(program);
    line.append(": ").append(outcome.undecided).append(": ");
    reporter_.diagnostic(line.append(LEFT_UNDECIDED).append("\n"));
  }
  // A name the conversion left behind, whatever became of the file.
  for (const LeftName& left : outcome.left) {
    ++failures_;
    std::string line(program);
    line.append(": ").append(left.name).append(": ").append(left.reason).append("\n");
    reporter_.diagnostic(line);
  }
}

}  // namespace nivra
