// The replace-safe sequence, failed step by step on an in-memory tree: each failure has
// its message and leaves the file as it was, and a file system without hard links still
// gets exact backups.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <optional>

#include "convert/replace.h"
#include "convert/messages.h"
#include "support/fake_platform.h"
#include "support/test_support.h"
#include "walk/walk.h"

namespace nivra::test {
namespace {

constexpr std::string_view ORIGINAL = "/* caf\xE9 */\r\nint x;\n";
constexpr std::string_view EARLIER = "an earlier backup\n";
// Whatever run makes them.
const std::string NEW_TEMP = temporary_prefix("a.c") + "*.new";
const std::string OLD_TEMP = temporary_prefix("a.c") + "*.old";
const std::string COPY_TEMP = temporary_prefix("a.c") + "*.cpy";

std::string with_mode(std::string_view content, std::string_view mode = "0644") {
  return std::string(mode) + " " + std::string(content);
}

struct Step {
  const char* what;
  std::vector<Injection> faults;
  std::string_view message;
  std::string diagnostic_path;
  std::string_view backup_after;  ///< what a.c.OLD holds afterwards
  bool share = false;             ///< a network share
  bool links = true;              ///< the file system keeps a second name of a file
};

TEST(ReplaceFaults, EachFailedStepHasItsMessageAndLeavesTheFileAsItWas) {
  const Step steps[] = {
      {"create", {fail_on(Call::create, NEW_TEMP, os_error(ENOSPC))}, MSG_CREATE_FAILED,
       "/t/a.c", EARLIER},
      {"write", {fail_on(Call::write, NEW_TEMP, os_error(ENOSPC))}, MSG_WRITE_FAILED, "/t/a.c",
       EARLIER},
      {"close", {fail_on(Call::close, NEW_TEMP, os_error(EIO))}, MSG_WRITE_FAILED, "/t/a.c",
       EARLIER},
      {"backup copy",
       {fail_on(Call::link, OLD_TEMP, os_error(EPERM)),
        fail_on(Call::write, COPY_TEMP, os_error(ENOSPC))},
       MSG_BACKUP_FAILED, "/t/a.c.OLD", EARLIER},
      {"backup rename", {fail_on(Call::rename, "a.c.OLD", os_error(EACCES))}, MSG_BACKUP_FAILED,
       "/t/a.c.OLD", EARLIER},
      {"final rename", {fail_on(Call::rename, "a.c", os_error(EACCES))}, MSG_WRITE_FAILED,
       "/t/a.c", EARLIER},
      // A mode or an access list that cannot be given to the new file.
      {"attributes", {fail_on(Call::attributes, NEW_TEMP, os_error(EOPNOTSUPP))},
       MSG_CREATE_FAILED, "/t/a.c", EARLIER},
      // The copy of the original goes back under the name the failed rename removed.
      {"a rename that removed the name", {fail_after_removing("a.c", os_error(EEXIST))},
       MSG_WRITE_FAILED, "/t/a.c", EARLIER, true, false},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    FakePlatform fs;
    fs.add_file("a.c", ORIGINAL);
    fs.add_file("a.c.OLD", EARLIER);
    if (step.share) fs.as_share();
    if (!step.links) fs.without_links();
    for (const Injection& f : step.faults) fs.inject(f);
    RecordingReporter r;

    EXPECT_EQ(run_program(fs, Direction::sign, r, "/t/nivra-sign"), 1);

    EXPECT_GE(fs.faults_met(int(step.faults.size()) - 1), 1);
    EXPECT_EQ(r.out, step.message);
    EXPECT_TRUE(r.err.starts_with("nivra-sign: " + step.diagnostic_path + ": ")) << r.err;
    const std::map<std::string, std::string> expected = {
        {"a.c", with_mode(ORIGINAL)}, {"a.c.OLD", with_mode(step.backup_after)}};
    EXPECT_EQ(fs.snapshot(), expected);
    EXPECT_EQ(fs.open_handles(), 0);
  }
}

// Another program, or a run on another machine, at work on the file meanwhile: what it
// did is kept and the file is reported, never converted over it.
TEST(ReplaceFaults, WhatAnotherProgramDoesMeanwhileIsKept) {
  const std::string theirs = "their save\n";
  const std::string converted = "\xEF\xBB\xBF/* caf\xC3\xA9 */\r\nint x;\n";
  const std::string copy = temporary_name("a.c", "old", FakePlatform::ended_run());
  // Another machine's run that linked a.c.OLD to the original, its new file beside it.
  const std::string their_new = temporary_name("a.c", "new", FakePlatform::elsewhere_run());
  // Another client's run that moved the name aside, as its original.
  const std::string their_aside = temporary_name("a.c", "was", FakePlatform::elsewhere_run());
  const auto claim = [&](FakePlatform& fs) {
    fs.put(their_new, "half of it");
    fs.put("a.c.OLD", ORIGINAL);
  };
  // The second step onto the name: where the first is the new file's, the original's put-back.
  Injection put_back_refused = fail_on(Call::rename, "a.c", os_error(EEXIST));
  put_back_refused.nth = 2;
  put_back_refused.persistent = false;
  const std::map<std::string, std::string> claimed = {{"a.c", with_mode(ORIGINAL)},
                                                      {"a.c.OLD", with_mode(ORIGINAL)},
                                                      {their_new, with_mode("half of it")}};
  const struct {
    const char* what;
    bool share, earlier;  ///< a network share; an earlier a.c.OLD
    Call when;
    std::function<void(FakePlatform&)> action;
    std::vector<Injection> faults;
    std::string_view message, reason;
    std::map<std::string, std::string> after;
    bool copy_left = false;  ///< the copy of the original of a run killed before its NAME.OLD
    /// The action comes as the new file takes the free name, by a link that then fails:
    /// libfuse looks the new name up after a link, which another client moved meanwhile.
    bool in_link = false;
  } cases[] = {
      {"a save over it", false, true, Call::write, [&](FakePlatform& fs) { fs.put("a.c", theirs); },
       {}, MSG_CHANGED, "another file was put under its name while it was converted",
       {{"a.c", with_mode(theirs)}, {"a.c.OLD", with_mode(EARLIER)}}},
      {"lines added to it", false, false, Call::write,
       [&](FakePlatform& fs) { fs.change("a.c", std::string(ORIGINAL) + theirs); }, {},
       MSG_CHANGED, "its content changed while it was converted",
       {{"a.c", with_mode(std::string(ORIGINAL) + theirs)}}},
      // A link by name would make a backup of their file.
      {"a save before the backup, on a share", true, false, Call::link,
       [&](FakePlatform& fs) { fs.put("a.c", theirs); }, {}, MSG_CHANGED,
       "another file was put under its name while it was converted",
       {{"a.c", with_mode(theirs)}}},
      // Another machine's run may have taken a.c.OLD for its backup meanwhile: it stays.
      {"a save over it, on a share", true, false, Call::rename,
       [&](FakePlatform& fs) { fs.put("a.c", theirs); }, {}, MSG_CHANGED,
       "another file was put under its name while it was converted",
       {{"a.c", with_mode(theirs)}, {"a.c.OLD", with_mode(ORIGINAL)}}},
      // On a share another machine's run that linked a.c.OLD (the original) converts the file.
      {"a backup made meanwhile, on a share", true, false, Call::create,
       claim, {}, MSG_OPEN_FAILED,
       "held by another run", claimed},
      // The killed run's new file took the name, which a client's stale view still showed as
      // the original: the copy seemed a spare one of it, but stays, the only one left.
      {"a killed run's copy, seen through a stale view", true, false, Call::create,
       [&](FakePlatform& fs) { fs.put("a.c", converted); }, {}, MSG_CHANGED,
       "another file was put under its name while it was converted",
       {{"a.c", with_mode(converted)}, {copy, with_mode(ORIGINAL)}}, true},
      // The name holds the new file: the link was made.
      {"a link reported failed, its name moved away and back", true, false, Call::rename,
       [&](FakePlatform& fs) {
         fs.move("a.c", their_aside);
         fs.move(their_aside, "a.c");
       },
       {}, "", "", {{"a.c", with_mode(converted)}, {"a.c.OLD", with_mode(ORIGINAL)}}, false,
       true},
      {"a link reported failed, its name moved away", true, false, Call::rename,
       [&](FakePlatform& fs) { fs.move("a.c", their_aside); }, {}, MSG_WRITE_FAILED,
       std::strerror(ENOENT), {{"a.c", with_mode(ORIGINAL)}, {their_aside, with_mode(converted)}},
       false, true},
      // The original stays beside the name, as the backup: never unnamed, never lost.
      {"a link reported failed, their save under the name", true, false, Call::rename,
       [&](FakePlatform& fs) {
         fs.move("a.c", their_aside);
         fs.put("a.c", theirs);
       },
       {}, MSG_CHANGED, "another file was put under its name while it was converted",
       {{"a.c", with_mode(theirs)}, {"a.c.OLD", with_mode(ORIGINAL)},
        {their_aside, with_mode(converted)}}, false, true},
      // The original could not go back: the name was taken. Another client's run then
      // empties it for a moment, between two steps of its own: the name is looked at again,
      // and the record of the name goes.
      {"a link reported failed, the name taken, then empty a moment", true, false, Call::rename,
       [&](FakePlatform& fs) {
         fs.move("a.c", their_aside);
         fs.put("their.tmp", theirs);
         fs.when_paused([&] { fs.move("their.tmp", "a.c"); });
       },
       {put_back_refused}, MSG_CHANGED, "another file was put under its name while it was converted",
       {{"a.c", with_mode(theirs)}, {"a.c.OLD", with_mode(ORIGINAL)},
        {their_aside, with_mode(converted)}}, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakePlatform fs;
    fs.add_file("a.c", ORIGINAL);
    if (c.earlier) fs.add_file("a.c.OLD", EARLIER);
    if (c.copy_left) fs.add_file(copy, ORIGINAL);
    fs.add_file("b.c", "x");
    if (c.share) fs.as_share();
    for (const Injection& f : c.faults) fs.inject(f);
    if (c.in_link) {
      fs.moves_aside();
      Injection link = fail_on(Call::rename, "a.c", os_error(ENOENT));
      link.persistent = false;
      link.done = [&] { c.action(fs); };
      fs.inject(link);
    } else {
      fs.meanwhile(c.when, 1, [&] { c.action(fs); });
    }
    RecordingReporter r;

    EXPECT_EQ(run_program(fs, Direction::sign, r, "/t/nivra-sign"), c.message.empty() ? 0 : 1);

    EXPECT_EQ(r.out, c.message);
    EXPECT_EQ(r.err, c.message.empty() ? "" : "nivra-sign: /t/a.c: " + std::string(c.reason) + "\n");
    auto expected = c.after;
    expected["b.c"] = with_mode("\xEF\xBB\xBFx");
    expected["b.c.OLD"] = with_mode("x");
    EXPECT_EQ(fs.snapshot(), expected);
    EXPECT_EQ(fs.open_handles(), 0);
  }
}

// A client's listing may be older than an earlier run's backup: a NAME.OLD it did not show,
// and that holds another content than the file, is no other run's claim. Nor is one that
// holds the file's very bytes (a user's copy, or a restore from it) unless something only
// a run leaves backs it: a temporary of the file of a run that may still be going on.
TEST(ReplaceFaults, ABackupIsAnotherRunsClaimOnlyBesideThatRunsTemporaries) {
  const std::string converted = "\xEF\xBB\xBF/* caf\xC3\xA9 */\r\nint x;\n";
  const struct {
    const char* what;
    std::string_view backup;  ///< what a.c.OLD holds before the run
    bool listed;              ///< the listing shows it
    const char* beside;       ///< the kind of a live run's temporary beside it; none when null
  } cases[] = {
      {"an earlier backup a stale listing hid", EARLIER, false, nullptr},
      {"a copy of the file", ORIGINAL, true, nullptr},
      {"a copy of the file a stale listing hid", ORIGINAL, false, nullptr},
      {"a copy beside an ended run's temporary", ORIGINAL, true, "ended"},
      {"another run's backup, beside its new file", ORIGINAL, true, "new"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakePlatform fs;
    fs.add_file("a.c", ORIGINAL);
    fs.as_share();
    if (c.listed) fs.add_file("a.c.OLD", c.backup);
    else fs.meanwhile(Call::create, 1, [&] { fs.put("a.c.OLD", c.backup); });
    const bool claimed = c.beside && std::string_view(c.beside) != "ended";
    const std::string theirs =
        temporary_name("a.c", "new", claimed ? fs.running() : FakePlatform::ended_run());
    if (c.beside) fs.add_file(theirs, "half of it");
    RecordingReporter r;

    EXPECT_EQ(run_program(fs, Direction::sign, r, "/t/nivra-sign"), claimed ? 1 : 0) << r.err;

    std::map<std::string, std::string> expected = {{"a.c", with_mode(converted)},
                                                   {"a.c.OLD", with_mode(ORIGINAL)}};
    if (claimed) {
      expected = {{"a.c", with_mode(ORIGINAL)}, {"a.c.OLD", with_mode(ORIGINAL)},
                  {theirs, with_mode("half of it")}};
      EXPECT_EQ(r.out, MSG_OPEN_FAILED);
      EXPECT_EQ(r.err, "nivra-sign: /t/a.c: held by another run\n");
    }
    EXPECT_EQ(fs.snapshot(), expected);
    EXPECT_EQ(fs.open_handles(), 0);
  }
}

// What a run leaves behind on a flaky share is named on standard error: a temporary it could
// not remove, the copy of an original that neither the name nor NAME.OLD holds, and the
// record of a name left empty, for the next run.
TEST(ReplaceFaults, WhatARunLeavesBehindIsNamed) {
  const struct {
    const char* what;
    std::vector<Injection> faults;
    std::string_view message;
    std::string left, content, reason;  ///< the temporary left, and why
    bool record = false;                ///< the name's record is left too
  } cases[] = {
      {"a removal that keeps failing",
       {fail_on(Call::write, NEW_TEMP, os_error(ENOSPC)),
        fail_on(Call::remove, NEW_TEMP, os_error(EIO))},
       MSG_WRITE_FAILED, NEW_TEMP, "", "could not be removed: "},
      {"a rename that removed the name, and its undo failing",
       {fail_after_removing("a.c", os_error(EEXIST), 1, true)}, MSG_WRITE_FAILED, OLD_TEMP,
       std::string(ORIGINAL), "the only copy of its original, kept under this name"},
      {"every rename onto the name failing, once the original is aside",
       {fail_on(Call::rename, "a.c", os_error(EIO))}, MSG_WRITE_FAILED, OLD_TEMP,
       std::string(ORIGINAL), "the only copy of its original, kept under this name", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakePlatform fs;
    fs.add_file("a.c", ORIGINAL);
    fs.as_share();
    fs.without_links();
    if (c.record) fs.moves_aside();  // the name is empty between two renames
    for (const Injection& f : c.faults) fs.inject(f);
    RecordingReporter r;

    EXPECT_EQ(run_program(fs, Direction::sign, r, "/t/nivra-sign"), 1);

    EXPECT_EQ(r.out, c.message);
    const auto tree = fs.snapshot();
    const std::string prefix = c.left.substr(0, c.left.find('*'));
    const std::string suffix = c.left.substr(c.left.find('*') + 1);
    const auto left = std::find_if(tree.begin(), tree.end(), [&](const auto& entry) {
      return entry.first.starts_with(prefix) && entry.first.ends_with(suffix);
    });
    ASSERT_NE(left, tree.end());
    EXPECT_TRUE(left->second.ends_with(c.content)) << left->second;
    const std::vector<std::string> lines = split_lines(r.err);
    ASSERT_EQ(lines.size(), c.record ? 3u : 2u) << r.err;
    EXPECT_TRUE(lines[0].starts_with("nivra-sign: /t/a.c: ")) << r.err;
    EXPECT_TRUE(lines[1].starts_with("nivra-sign: /t/" + left->first + ": " + c.reason)) << r.err;
    if (c.record) {
      const std::string record = lines[2].substr(15, lines[2].find(": kept: ") - 15);
      EXPECT_TRUE(record.ends_with(".nam") && tree.count(record)) << r.err;
    }
    EXPECT_EQ(fs.open_handles(), 0);
  }
}

// Where the name held another program's file when it was moved aside, and was taken
// again before that file could go back, that file is no backup: it stays under the
// aside name, named, and the name keeps what took it.
TEST(ReplaceFaults, AnotherProgramsFileMovedAsideNeverBecomesTheBackup) {
  FakePlatform fs;
  fs.add_file("a.c", ORIGINAL);
  fs.as_share();
  fs.without_links();
  fs.moves_aside();
  // The first rename makes the backup copy; the second moves the name aside, the third
  // puts it back.
  fs.meanwhile(Call::rename, 2, [&] { fs.put("a.c", "theirs"); });
  fs.meanwhile(Call::rename, 3, [&] { fs.put("a.c", ORIGINAL); });
  RecordingReporter r;

  EXPECT_EQ(run_program(fs, Direction::sign, r, "/t/nivra-sign"), 1);

  EXPECT_EQ(r.out, MSG_CHANGED);
  const auto tree = fs.snapshot();
  EXPECT_EQ(tree.at("a.c"), with_mode(ORIGINAL));
  EXPECT_EQ(tree.count("a.c.OLD"), 0u) << r.err;
  const std::vector<std::string> lines = split_lines(r.err);
  ASSERT_EQ(lines.size(), 2u) << r.err;
  const std::string moved = lines[1].substr(15, lines[1].find(": kept: another") - 15);
  EXPECT_TRUE(moved.ends_with(".was") && tree.count(moved)) << r.err;
  EXPECT_TRUE(tree.at(moved).ends_with("theirs"));
}

// A client's descriptor may give other bytes than the file holds once another file was
// written (fusefat gives zeros): a backup copied through it would be no backup. Where the
// content read was digested, the copy is checked against it, and the file stays as it was.
TEST(ReplaceFaults, ABackupCopyOfOtherBytesThanWereReadIsNoBackup) {
  FakePlatform fs;
  fs.add_file("a.c", ORIGINAL);
  fs.as_share();
  fs.without_links();
  // The second file created is the copy: the next read of the original gives zeros.
  fs.meanwhile(Call::create, 2, [&] { fs.inject(read_zeros("a.c")); });
  RecordingReporter r;

  EXPECT_EQ(run_program(fs, Direction::sign, r, "/t/nivra-sign"), 1);

  EXPECT_EQ(r.out, MSG_BACKUP_FAILED);
  EXPECT_EQ(r.err, "nivra-sign: /t/a.c.OLD: its content changed while it was converted\n");
  const std::map<std::string, std::string> expected = {{"a.c", with_mode(ORIGINAL)}};
  EXPECT_EQ(fs.snapshot(), expected);
  EXPECT_EQ(fs.open_handles(), 0);
}

TEST(ReplaceFaults, FileThatAnotherRunHoldsIsLeftAlone) {
  FakePlatform fs;
  fs.add_file("held.c", ORIGINAL);
  fs.add_file("free.c", "x");
  fs.lock("held.c");
  RecordingReporter r;

  EXPECT_EQ(run_program(fs, Direction::sign, r, "/t/nivra-sign"), 1);

  EXPECT_EQ(r.out, MSG_OPEN_FAILED);
  EXPECT_EQ(r.err, "nivra-sign: /t/held.c: held by another run\n");
  const auto tree = fs.snapshot();
  EXPECT_EQ(tree.at("held.c"), with_mode(ORIGINAL));
  EXPECT_FALSE(fs.exists("held.c.OLD"));
  EXPECT_EQ(tree.at("free.c"), with_mode("\xEF\xBB\xBFx"));
}

TEST(ReplaceFaults, WithoutHardLinksTheBackupIsWrittenFromMemoryAndIsExact) {
  std::string large;  // every byte value, past the size of one written block
  while (large.size() < 3 * (std::size_t(1) << 20) + 7) large.push_back(char(large.size() * 7));
  FakePlatform fs;
  fs.add_file("a.c", ORIGINAL, 0600);
  fs.add_file("a.c.OLD", EARLIER);
  fs.add_file("big.cpp", large, 0755);
  fs.add_file("empty.h", "");
  fs.inject(fail(Call::link, 1, os_error(EPERM), true));
  RecordingReporter r;

  EXPECT_EQ(run_program(fs, Direction::sign, r, "/t/nivra-sign"), 0) << r.err;

  EXPECT_EQ(fs.faults_met(), 3);
  const auto tree = fs.snapshot();
  EXPECT_EQ(tree.at("a.c.OLD"), with_mode(ORIGINAL, "0600"));
  EXPECT_EQ(tree.at("big.cpp.OLD"), with_mode(large, "0755"));
  EXPECT_EQ(tree.at("empty.h.OLD"), with_mode(""));
  EXPECT_EQ(tree.at("empty.h"), with_mode("\xEF\xBB\xBF"));
  EXPECT_EQ(tree.at("a.c"), with_mode("\xEF\xBB\xBF/* caf\xC3\xA9 */\r\nint x;\n", "0600"));
  EXPECT_EQ(tree.size(), 6u);
}

}  // namespace
}  // namespace nivra::test
