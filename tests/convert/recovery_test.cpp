// What runs that stopped half-way left, finished by the next run on an in-memory tree:
// leftovers beside a file by the state of their run, and names a killed run left empty.

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <optional>

#include "convert/messages.h"
#include "convert/replace.h"
#include "support/fake_platform.h"
#include "support/test_support.h"

namespace nivra::test {
namespace {

constexpr std::string_view ORIGINAL = "/* caf\xE9 */\r\nint x;\n";
constexpr std::string_view EARLIER = "an earlier backup\n";

std::string with_mode(std::string_view content, std::string_view mode = "0644") {
  return std::string(mode) + " " + std::string(content);
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

// A temporary's name reads back as it was made, whatever its kind; a name that no run
// makes is nobody's, and the digest tells whose file a temporary is.
TEST(TempName, ReadsBackWhatItFormatsAndNoOtherName) {
  const RunTag run{0x0011aabb, 0x1234, 0xbeef, 0x42};
  for (int k = 0; k <= int(TempName::Kind::other); ++k) {
    const TempName made = TempName::of("a.c", run, TempName::Kind(k));
    const std::optional<TempName> read = TempName::parse(made.format());
    ASSERT_TRUE(read) << made.format();
    EXPECT_EQ(read->digest, made.digest);
    EXPECT_EQ(read->run, run);
    EXPECT_EQ(read->kind, made.kind);
    EXPECT_TRUE(read->of_file("a.c"));
    EXPECT_FALSE(read->of_file("b.c"));
    // Another kind of the same run's temporary: what a replace names its steps by.
    EXPECT_EQ(TempName::with_kind(made.format(), TempName::Kind::held),
              TempName::of("a.c", run, TempName::Kind::held).format());
  }
  const std::string name = temporary_name("a.c", "old", run.format());
  const std::string digest = name.substr(7, 16);
  for (const std::string& forged :
       {name.substr(1), ".nivra-" + digest + "-" + run.format(), name.substr(0, 30) + ".old",
        ".nivra-" + digest.substr(1) + "X-" + run.format() + ".old",
        ".nivra-" + digest + "+" + run.format() + ".old"})
    EXPECT_FALSE(TempName::parse(forged)) << forged;
  EXPECT_EQ(TempName::parse(name.substr(0, name.size() - 3) + "xyz")->kind,
            TempName::Kind::other);
}

}  // namespace
}  // namespace nivra::test
