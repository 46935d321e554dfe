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
      // Where links work, EPERM or EIO for a name that is free is no other client's claim.
      {"a link refused on a share", {fail_on(Call::link, OLD_TEMP, os_error(EPERM))},
       MSG_BACKUP_FAILED, "/t/a.c.OLD", EARLIER, true},
      {"a link failed on a share", {fail_on(Call::link, OLD_TEMP, os_error(EIO))},
       MSG_BACKUP_FAILED, "/t/a.c.OLD", EARLIER, true},
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
  const auto claim = [&](FakePlatform& fs) {
    fs.put(their_new, "half of it");
    fs.put("a.c.OLD", ORIGINAL);
  };
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
      {"as before, the share saying EPERM for EEXIST", true, false, Call::create,
       claim,
       {fail_on(Call::link, "a.c.OLD", os_error(EPERM))}, MSG_OPEN_FAILED, "held by another run",
       claimed},
      {"as before, the share answering EIO", true, false, Call::create,
       claim,
       {fail_on(Call::link, "a.c.OLD", os_error(EIO))}, MSG_OPEN_FAILED, "held by another run",
       claimed},
      // The killed run's new file took the name, which a client's stale view still showed as
      // the original: the copy seemed a spare one of it, but stays, the only one left.
      {"a killed run's copy, seen through a stale view", true, false, Call::create,
       [&](FakePlatform& fs) { fs.put("a.c", converted); }, {}, MSG_CHANGED,
       "another file was put under its name while it was converted",
       {{"a.c", with_mode(converted)}, {copy, with_mode(ORIGINAL)}}, true},
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
    fs.meanwhile(c.when, 1, [&] { c.action(fs); });
    RecordingReporter r;

    EXPECT_EQ(run_program(fs, Direction::sign, r, "/t/nivra-sign"), 1);

    EXPECT_EQ(r.out, c.message);
    EXPECT_EQ(r.err, "nivra-sign: /t/a.c: " + std::string(c.reason) + "\n");
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
// not remove, and the copy of an original that neither the name nor NAME.OLD holds.
TEST(ReplaceFaults, WhatARunLeavesBehindIsNamed) {
  const struct {
    const char* what;
    std::vector<Injection> faults;
    std::string_view message;
    std::string left, content, reason;  ///< the temporary left, and why
  } cases[] = {
      {"a removal that keeps failing",
       {fail_on(Call::write, NEW_TEMP, os_error(ENOSPC)),
        fail_on(Call::remove, NEW_TEMP, os_error(EIO))},
       MSG_WRITE_FAILED, NEW_TEMP, "", "could not be removed: "},
      {"a rename that removed the name, and its undo failing",
       {fail_after_removing("a.c", os_error(EEXIST), 1, true)}, MSG_WRITE_FAILED, OLD_TEMP,
       std::string(ORIGINAL), "the only copy of its original, kept under this name"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakePlatform fs;
    fs.add_file("a.c", ORIGINAL);
    fs.as_share();
    fs.without_links();
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
    ASSERT_EQ(lines.size(), 2u) << r.err;
    EXPECT_TRUE(lines[0].starts_with("nivra-sign: /t/a.c: ")) << r.err;
    EXPECT_TRUE(lines[1].starts_with("nivra-sign: /t/" + left->first + ": " + c.reason)) << r.err;
    EXPECT_EQ(fs.open_handles(), 0);
  }
}

// On a share an ended run's leftover goes only once the file is converted: one that cannot
// be removed then is named, and the file stays converted.
TEST(ReplaceFaults, AnEndedRunsLeftoverThatStaysOnAShareIsNamedAfterTheConversion) {
  FakePlatform fs;
  fs.add_file("a.c", ORIGINAL);
  fs.as_share();
  const std::string stale = temporary_name("a.c", "new", fs.ended_run());
  fs.add_file(stale, "half of it");
  fs.inject(fail_on(Call::remove, stale, os_error(EIO)));
  RecordingReporter r;

  EXPECT_EQ(run_program(fs, Direction::sign, r, "/t/nivra-sign"), 1);

  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "nivra-sign: /t/" + stale + ": could not be removed: " + std::strerror(EIO) + "\n");
  const std::map<std::string, std::string> expected = {
      {"a.c", with_mode("\xEF\xBB\xBF/* caf\xC3\xA9 */\r\nint x;\n")},
      {"a.c.OLD", with_mode(ORIGINAL)},
      {stale, with_mode("half of it")}};
  EXPECT_EQ(fs.snapshot(), expected);
}

// What a run that may still be going on left is its own: the file is converted beside it.
TEST(ReplaceFaults, TemporariesOfARunThatMayStillGoOnAreLeftAlone) {
  FakePlatform fs;
  fs.add_file("a.c", ORIGINAL);
  const std::string live = fs.running();
  const std::string mine = temporary_name("a.c", "new", live);
  const std::string backup = temporary_name("a.c", "old", live);
  fs.add_file(mine, "half of it");
  fs.add_file(backup, ORIGINAL);
  RecordingReporter r;

  EXPECT_EQ(run_program(fs, Direction::sign, r, "/t/nivra-sign"), 0) << r.err;

  const std::map<std::string, std::string> expected = {
      {"a.c", with_mode("\xEF\xBB\xBF/* caf\xC3\xA9 */\r\nint x;\n")},
      {"a.c.OLD", with_mode(ORIGINAL)},
      {mine, with_mode("half of it")},
      {backup, with_mode(ORIGINAL)}};
  EXPECT_EQ(fs.snapshot(), expected);
}

// A run killed while the name was empty (the original moved aside or into its backup, the
// new file not yet in place) leaves no a.c: the next run puts the original back under the
// name from what is provably that run's own, and converts it. Where no NAME.OLD names the
// file, only the record of the run ("nam") does; one that names another file than its own
// name's digest, or whose leftovers are another user's, moves nothing. The record of an
// earlier run killed before it emptied the name does not hide the run that did. A name
// that the listing missed but that holds a file (a client's stale listing, or another run
// that put it back meanwhile) is converted in its turn, its leftovers finished beside it.
TEST(ReplaceFaults, ANameThatAKilledRunLeftEmptyGetsItsOriginalBack) {
  constexpr int REUSED = 2;
  const std::string converted = "\xEF\xBB\xBF/* caf\xC3\xA9 */\r\nint x;\n";
  const std::string original(ORIGINAL);
  const struct {
    const char* what;
    std::map<std::string, std::string> left;  ///< by kind
    std::string_view backup;                  ///< what a.c.OLD holds; "" for none
    bool put_back;                            ///< the original goes back, and is converted
    int live = false;  ///< the run may still be going on; REUSED: a later process has its number
    std::map<std::string, std::uint64_t> owners = {};  ///< by kind; else the running user
    std::string record_of = "a.c";            ///< whose digest the record's name carries
    std::vector<Injection> faults = {};
    std::map<std::string, std::string> earlier = {};  ///< by kind, of a run listed first
    bool there = false;  ///< a.c, converted, appears once the folder is listed
  } cases[] = {
      {"moved aside", {{"was", original}, {"new", "half"}}, ORIGINAL, true},
      {"its held backup", {{"old", original}, {"new", "half"}}, EARLIER, true},
      {"in NAME.OLD", {{"new", "half"}}, ORIGINAL, true},
      {"deleted by its user", {}, ORIGINAL, false},
      {"a run that may go on", {{"was", original}}, EARLIER, false, true},
      {"recorded, its held backup", {{"old", original}, {"new", "half"}, {"nam", "a.c"}}, "", true},
      {"recorded, moved aside", {{"was", original}, {"nam", "a.c"}}, "", true},
      // The original keeps its owner; the record of this run's user vouches for it.
      {"recorded, moved aside, of another owner", {{"was", original}, {"nam", "a.c"}}, "", true,
       false, {{"was", 8}}},
      {"recorded, in NAME.OLD", {{"new", "half"}, {"nam", "a.c"}}, ORIGINAL, true},
      // Said every run: the name stays missing.
      {"recorded by a run that may go on", {{"old", original}, {"nam", "a.c"}}, "", false, true},
      {"recorded by a run whose number a later process has", {{"old", original}, {"nam", "a.c"}},
       "", true, REUSED},
      {"recorded by that later process itself", {{"old", original}, {"nam", "a.c"}}, "", false,
       REUSED + 1},
      {"a record under another name's digest", {{"old", original}, {"nam", "a.c"}}, "", false,
       false, {}, "b.c"},
      {"a record and backup of two other users", {{"old", original}, {"nam", "a.c"}}, "", false,
       false, {{"nam", 7}, {"old", 8}}},
      {"a held backup of another user", {{"old", original}, {"nam", "a.c"}}, EARLIER, false,
       false, {{"old", 8}}},
      {"putting it back fails", {{"old", original}, {"nam", "a.c"}}, "", false, false, {}, "a.c",
       {fail_on(Call::rename, "a.c", os_error(EACCES))}},
      {"recorded, moved aside, after a run killed earlier", {{"was", original}, {"nam", "a.c"}},
       "", true, false, {}, "a.c", {}, {{"nam", "a.c"}, {"new", "half"}}},
      {"the same, beside an earlier backup", {{"was", original}, {"nam", "a.c"}}, EARLIER, true,
       false, {}, "a.c", {}, {{"nam", "a.c"}, {"new", "half"}}},
      {"there after all", {{"old", original}, {"nam", "a.c"}}, EARLIER, true, false, {}, "a.c",
       {}, {}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakePlatform fs;
    const std::string tag = c.live == REUSED       ? fs.reused()
                            : c.live == REUSED + 1 ? fs.reused(true)
                            : c.live               ? fs.running()
                                                   : FakePlatform::ended_run();
    const bool kept_missing = c.live && c.live != REUSED && c.left.contains("nam");
    std::map<std::string, std::string> left;
    if (!c.backup.empty()) left["a.c.OLD"] = with_mode(c.backup);
    for (const auto& [kind, content] : c.earlier) {
      const std::string name = temporary_name("a.c", kind, FakePlatform::earlier_run());
      fs.add_file(name, content);
    }
    for (const auto& [kind, content] : c.left) {
      const std::string name = temporary_name(kind == "nam" ? c.record_of : "a.c", kind, tag);
      left[name] = with_mode(content);
      fs.add_file(name, content);
      if (c.owners.contains(kind)) fs.own(name, c.owners.at(kind));
    }
    if (!c.backup.empty()) fs.add_file("a.c.OLD", c.backup);
    for (const Injection& f : c.faults) fs.inject(f);
    if (c.there) fs.meanwhile(Call::open_read, 1, [&] { fs.put("a.c", converted); });
    RecordingReporter r;

    EXPECT_EQ(run_program(fs, Direction::sign, r, "/t/nivra-sign"),
              c.faults.empty() && !kept_missing ? 0 : 1)
        << r.err;

    if (c.put_back) {
      const std::map<std::string, std::string> expected = {{"a.c", with_mode(converted)},
                                                           {"a.c.OLD", with_mode(ORIGINAL)}};
      EXPECT_EQ(fs.snapshot(), expected);
    } else {
      EXPECT_EQ(fs.snapshot(), left);
    }
    EXPECT_EQ(r.out, c.there                             ? MSG_ALREADY_SIGNED
                     : c.faults.empty() && !kept_missing ? ""
                                                         : MSG_OPEN_FAILED);
    EXPECT_EQ(r.err, c.there        ? "nivra-sign: /t/a.c: already signed\n"
                     : kept_missing ? "nivra-sign: /t/a.c: missing: the run that recorded it in " +
                                          temporary_name("a.c", "nam", tag) +
                                          " may still be going on\n"
                     : c.faults.empty() ? ""
                                        : "nivra-sign: /t/a.c: Permission denied\n");
    EXPECT_EQ(fs.open_handles(), 0);
  }
}

// The held backup of a run of another machine or an earlier boot: finished on a disk of
// this machine alone, where that run has ended; on a share, named, and the run fails. A
// held backup that cannot become NAME.OLD stays, the only copy of its original.
TEST(ReplaceFaults, LeftoversOfAnotherBootAreFinishedOnlyWhereThatRunHasEnded) {
  const std::string converted = "\xEF\xBB\xBF/* caf\xC3\xA9 */\r\nint x;\n";
  const std::string held = temporary_name("a.c", "old", FakePlatform::elsewhere_run());
  {
    FakePlatform fs;
    fs.add_file("a.c", converted);
    fs.add_file(held, ORIGINAL);
    fs.inject(fail_on(Call::rename, "a.c.OLD", os_error(EIO)));
    RecordingReporter r;

    EXPECT_EQ(run_program(fs, Direction::sign, r, "/t/nivra-sign"), 1) << r.err;

    EXPECT_EQ(r.out, MSG_BACKUP_FAILED);
    EXPECT_EQ(fs.snapshot(), (std::map<std::string, std::string>{
                                 {"a.c", with_mode(converted)}, {held, with_mode(ORIGINAL)}}));
  }
  // Where the machine's number is the same from boot to boot, the run is another
  // machine's, which may share even a local disk: left as on a share.
  for (const int share : {0, 1, 2}) {
    SCOPED_TRACE(share == 1 ? "a share" : share ? "one number for all boots" : "a local disk");
    FakePlatform fs;
    fs.add_file("a.c", converted);
    fs.add_file(held, ORIGINAL);
    if (share == 1) fs.as_share();
    if (share == 2) fs.one_number_for_all_boots();
    RecordingReporter r;

    EXPECT_EQ(run_program(fs, Direction::sign, r, "/t/nivra-sign"), share ? 1 : 0) << r.err;

    EXPECT_EQ(r.out, MSG_ALREADY_SIGNED);
    std::map<std::string, std::string> expected{{"a.c", with_mode(converted)}};
    expected[share ? held : "a.c.OLD"] = with_mode(ORIGINAL);
    EXPECT_EQ(fs.snapshot(), expected);
    EXPECT_EQ(r.err, "nivra-sign: /t/a.c: already signed\n" +
                         (share ? "nivra-sign: /t/" + held + ": left by a run of another machine "
                                  "or an earlier boot, which may not have ended; left as it is\n"
                                : ""));
  }
}

// Two runs may finish a killed run's held backup at once, and the second finds it gone: a
// share's client may remove the target of that rename before it fails (rclone), NAME.OLD,
// which the first made the original. This run comes second.
// A killed run's backup of the original stays the backup: where another run finishes it at
// the same moment, and where a leftover beside it that cannot be read could hold what the
// name holds (a client's lock, a copy of the name that a killed run moved aside).
TEST(ReplaceFaults, AKilledRunsBackupStaysTheBackup) {
  const std::string converted = "\xEF\xBB\xBF/* caf\xC3\xA9 */\r\nint x;\n";
  const std::string held = temporary_name("a.c", "old", FakePlatform::ended_run());
  const std::string aside = temporary_name("a.c", "was", FakePlatform::ended_run());
  for (const bool unreadable_aside : {false, true}) {
    SCOPED_TRACE(unreadable_aside ? "an aside name that cannot be read" : "two runs at once");
    FakePlatform fs;
    fs.add_file("a.c", converted);
    fs.add_file(held, ORIGINAL);
    fs.as_share();
    std::map<std::string, std::string> expected = {{"a.c", with_mode(converted)},
                                                   {"a.c.OLD", with_mode(ORIGINAL)}};
    if (unreadable_aside) {
      fs.add_file(aside, converted);
      fs.lock(aside);
      expected[aside] = with_mode(converted);
    } else {
      fs.add_file("a.c.OLD", EARLIER);
      fs.meanwhile(Call::rename, 1, [&] { fs.move(held, "a.c.OLD"); });
      fs.inject(fail_after_removing("a.c.OLD", os_error(ENOENT)));
    }
    RecordingReporter r;

    EXPECT_EQ(run_program(fs, Direction::sign, r, "/t/nivra-sign"), unreadable_aside ? 1 : 0)
        << r.err;

    EXPECT_EQ(r.out, unreadable_aside ? MSG_BACKUP_FAILED : MSG_ALREADY_SIGNED);
    if (unreadable_aside) {
      EXPECT_EQ(r.err, "nivra-sign: /t/" + aside + ": held by another run\n");
    }
    EXPECT_EQ(fs.snapshot(), expected);
  }
}

// Another user's run converted the file and was killed after the swap: the original, of its
// owner, lies under the run's temporaries beside the runner's new file. A run of a third
// user judges them by the owner of NAME.OLD as well, and takes a leftover that is no backup
// of anybody's where NAME.OLD holds its bytes; a stranger's are left alone.
TEST(ReplaceFaults, AKilledRunOfAnotherUserIsFinishedByTheOwnerOfTheReplacedFile) {
  const std::string converted = "\xEF\xBB\xBF/* caf\xC3\xA9 */\r\nint x;\n";
  constexpr std::uint64_t RUNNER = 5, OWNER = 7, STRANGER = 9;
  const struct {
    const char* what;
    std::map<std::string, std::uint64_t> left;  ///< kinds, each holding the original, by owner
    std::optional<std::uint64_t> earlier;       ///< the owner of an earlier a.c.OLD
    bool finished;
  } cases[] = {
      {"linked backup beside an earlier one", {{"old", OWNER}, {"new", OWNER}}, OWNER, true},
      {"copied backup beside an earlier one", {{"old", RUNNER}, {"new", OWNER}}, OWNER, true},
      {"copied backup, no earlier one", {{"old", RUNNER}, {"new", OWNER}}, std::nullopt, true},
      {"beside a stranger's backup", {{"old", OWNER}, {"new", OWNER}}, STRANGER, false},
      {"a stranger's copy", {{"old", STRANGER}, {"new", OWNER}}, std::nullopt, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakePlatform fs;
    fs.add_file("a.c", converted);
    fs.own("a.c", RUNNER);
    std::map<std::string, std::string> before = {{"a.c", with_mode(converted)}};
    if (c.earlier) {
      fs.add_file("a.c.OLD", EARLIER);
      fs.own("a.c.OLD", *c.earlier);
      before["a.c.OLD"] = with_mode(EARLIER);
    }
    for (const auto& [kind, owner] : c.left) {
      const std::string name = temporary_name("a.c", kind, FakePlatform::ended_run());
      fs.add_file(name, ORIGINAL);
      fs.own(name, owner);
      before[name] = with_mode(ORIGINAL);
    }
    RecordingReporter r;

    EXPECT_EQ(run_program(fs, Direction::sign, r, "/t/nivra-sign"), 0) << r.err;

    EXPECT_EQ(r.out, MSG_ALREADY_SIGNED);
    const std::map<std::string, std::string> finished = {{"a.c", with_mode(converted)},
                                                         {"a.c.OLD", with_mode(ORIGINAL)}};
    EXPECT_EQ(fs.snapshot(), c.finished ? finished : before);
  }
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
