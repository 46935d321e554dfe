#include "support/fault_checks.h"

#include <gtest/gtest.h>

#include <set>

#include "convert/replace.h"
#include "convert/messages.h"
#include "support/test_support.h"
#include "walk/walk.h"

namespace nivra::test {

using namespace std::literals;

const std::vector<TreeEntry>& fault_tree() {
  auto file = [](const char* path, std::string content, unsigned mode = 0644) {
    return TreeEntry{path, std::move(content), mode, ""};
  };
  static const std::vector<TreeEntry> tree = {
      file("main.c", "/* caf\xE9 */\r\nint main(void) { return 0; }\r\n"),
      file("main.c.OLD", "an earlier backup\n"),
      file("util.h", "#define EURO \"\x80\" /* \x81 */\n", 0600),
      file("empty.cpp", ""),
      file("signed.h", "\xEF\xBB\xBF// d\xC3\xA9j\xC3\xA0 sign\xC3\xA9\n"),
      file("modern.cpp", "// d\xC3\xA9j\xC3\xA0 UTF-8, \xE2\x82\xAC\n"),
      file("notes.txt", "caf\xE9\n"),
      file("lib.hpp", "caf\xE9\n"),
      TreeEntry{"alias.c", "", 0, "main.c"},
      file(".git/hook.c", "caf\xE9"),
      file("src/parser/lexer.cpp", std::string("char nul = '\0';\n\xAB\xBB\n"sv)),
      file("src/parser/lexer.h", "int lex(void);", 0755),
      file("src/io/READ.C", "/* \xE0 la ligne */\n"),
      file("src/io/READ.C.OLD", "an older backup\n"),
      file("src/io/write.c", "\xEF\xBB\xBF"),
      file("src/io/deep/a.c", "x\n"),
      file("src/io/deep/b.cpp", "\xEF\xBB\xBF" "int b = 1;\n"),
      file("docs/guide.c", "/* \xA9 2001 */"),
  };
  return tree;
}

std::optional<std::string> at(const Tree& tree, const std::string& path) {
  const auto it = tree.find(path);
  return it == tree.end() ? std::nullopt : std::optional(it->second);
}

void check_faulted(const Unfaulted& b, const RunResult& r, Direction direction,
                   std::string_view root, bool removal_failed) {
  const Tree& before = b.before;
  const Tree& done = b.after.tree;
  std::set<std::string> names;
  for (const Tree* t : {&before, &done, &r.tree})
    for (const auto& entry : *t) names.insert(entry.first);
  // A backup whose last rename failed stays under its temporary name for the next run.
  auto kept_backup = [&](const std::string& name, const std::optional<std::string>& old) {
    const std::size_t slash = name.rfind('/') + 1;
    const std::string prefix = name.substr(0, slash) + temporary_prefix(name.substr(slash));
    for (const auto& [path, content] : r.tree)
      if (path.starts_with(prefix) && path.ends_with(".old") && content == old) return true;
    return false;
  };
  // A name that a kill left empty: its original aside, and the name recorded beside it.
  auto recorded_aside = [&](const std::string& name, const std::optional<std::string>& old) {
    const std::size_t slash = name.rfind('/') + 1;
    const std::string prefix = name.substr(0, slash) + temporary_prefix(name.substr(slash));
    std::string record = " ";  // after the mode, in a snapshot
    record.append(name, slash);
    bool recorded = false, aside = false;
    for (const auto& [path, content] : r.tree) {
      if (!path.starts_with(prefix)) continue;
      recorded = recorded || (path.ends_with(".nam") && content.ends_with(record));
      aside = aside || ((path.ends_with(".was") || path.ends_with(".old")) && content == old);
    }
    return r.status != 0 && recorded && aside;
  };
  // Every name holds its complete old or complete new content (or stays absent).
  for (const std::string& name : names) {
    if (is_temporary_path(name)) {
      // A failed run may leave the original aside, with the name it had recorded.
      const bool original = (name.ends_with(".old") || name.ends_with(".was") ||
                             name.ends_with(".nam")) &&
                            r.status != 0;
      EXPECT_TRUE(removal_failed || original || !at(r.tree, name) ||
                  at(r.tree, name) == at(before, name))
          << name << " left behind";
      continue;
    }
    const auto now = at(r.tree, name);
    EXPECT_TRUE(now == at(before, name) || now == at(done, name) ||
                (!now && recorded_aside(name, at(before, name))))
        << name << " holds " << now.value_or("nothing");
  }
  // A converted file always has its original as NAME.OLD.
  for (const auto& [name, old] : before) {
    const bool converted = at(done, name) != old && at(r.tree, name) == at(done, name);
    if (converted && is_source_file(name.substr(name.rfind('/') + 1))) {
      EXPECT_TRUE(at(r.tree, name + ".OLD") == old || kept_backup(name, old))
          << name << " converted without its backup";
    }
  }

  if (r.status == 0) {
    // The fault did no harm (a failed close of a file only read, say): as if unfaulted,
    // but for the temporaries that a failed removal leaves to the next run.
    Tree left = r.tree, expected = done;
    for (Tree* tree : {&left, &expected}) {
      std::erase_if(*tree,
                    [&](const auto& e) { return removal_failed && is_temporary_path(e.first); });
    }
    EXPECT_EQ(left, expected);
    EXPECT_EQ(r.out, b.after.out);
    EXPECT_EQ(r.err, b.after.err);
    return;
  }
  EXPECT_EQ(r.status, 1);
  const std::set<std::string_view> failures = {MSG_OPEN_FAILED,   MSG_READ_FAILED,
                                               MSG_CREATE_FAILED, MSG_WRITE_FAILED,
                                               MSG_BACKUP_FAILED, MSG_DIR_FAILED,
                                               MSG_CHANGED};
  std::size_t failed = 0;
  const std::vector<std::string> messages = split_lines(r.out);
  for (const std::string& line : messages) {
    failed += failures.count(line);
    EXPECT_TRUE(failures.count(line) || line == traits(direction).skip_message) << line;
  }
  const std::vector<std::string> diagnostics = split_lines(r.err);
  const std::string prefix = std::string(traits(direction).program) + ": " + std::string(root);
  // A temporary (or a backup) the run could not remove, the copy of an original that it
  // kept on a share, or the record of a name it left empty, is named on a line of its
  // own, and is there.
  std::size_t left = 0;
  for (const std::string& line : diagnostics) {
    const std::size_t reason = line.find(": ", prefix.size());
    EXPECT_TRUE(line.starts_with(prefix) && reason != std::string::npos &&
                line.size() > reason + 3 && line.back() == '\n')
        << line;
    if (reason == std::string::npos || !line.starts_with(prefix + "/")) continue;
    const std::string path = line.substr(prefix.size() + 1, reason - prefix.size() - 1);
    const bool removal = line.substr(reason).starts_with(": could not be removed");
    // A backup made for a swap that failed, another name of the original, may stay too.
    const bool backup = removal && path.ends_with(".OLD");
    if (!(is_temporary_path(path) || backup) ||
        !(removal || line.substr(reason).starts_with(": the only copy") ||
          line.substr(reason).starts_with(": kept")))
      continue;
    ++left;
    EXPECT_TRUE(removal_failed || !removal) << line;
    EXPECT_TRUE(at(r.tree, path)) << line << "names nothing";
  }
  EXPECT_GE(failed + left, 1u);
  // Each message, a skip's too, has the line that names its file.
  EXPECT_EQ(diagnostics.size(), messages.size() + left) << r.out << r.err;
}

}  // namespace nivra::test
