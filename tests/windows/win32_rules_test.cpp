// The decisions of the Windows platform that need no Windows, on any system.

#include "platform/win32/win32_rules.h"

#include "convert/convert_file.h"
#include "platform/host.h"

#include <gtest/gtest.h>

#include <numeric>

namespace nivra::win32 {
namespace {

constexpr std::uint32_t SYMLINK = 0xA000000C, MOUNT_POINT = 0xA0000003, CLOUD = 0x9000001A,
                        CLOUD_FOLDER = 0x9000701A, DEDUP = 0x80000013;

TEST(Win32Rules, OnlyNameSurrogatesAndTheSystemsOwnFoldersArePassedOver) {
  struct Case {
    std::uint32_t attributes, tag;
    EntryKind kind;
  };
  const std::uint32_t own = ATTR_HIDDEN | ATTR_SYSTEM;
  for (const Case& c : std::initializer_list<Case>{
           {ATTR_ARCHIVE, 0, EntryKind::regular},
           {ATTR_DIRECTORY, 0, EntryKind::directory},
           {ATTR_DIRECTORY | ATTR_HIDDEN, 0, EntryKind::directory},
           {ATTR_DIRECTORY | ATTR_SYSTEM, 0, EntryKind::directory},
           {ATTR_DIRECTORY | own, 0, EntryKind::symlink},  // $RECYCLE.BIN
           {own, 0, EntryKind::regular},                   // a file is converted all the same
           {ATTR_REPARSE_POINT, SYMLINK, EntryKind::symlink},
           {ATTR_DIRECTORY | ATTR_REPARSE_POINT, MOUNT_POINT, EntryKind::symlink},
           {ATTR_REPARSE_POINT | ATTR_OFFLINE, CLOUD, EntryKind::regular},
           {ATTR_DIRECTORY | ATTR_REPARSE_POINT, CLOUD_FOLDER, EntryKind::directory},
           {ATTR_REPARSE_POINT, DEDUP, EntryKind::regular},
           {ATTR_ARCHIVE, SYMLINK, EntryKind::regular},  // a tag without the attribute
           // A tag that could not be read (Wine's Unix links) may lead anywhere.
           {ATTR_DIRECTORY | ATTR_REPARSE_POINT, 0, EntryKind::symlink},
           {ATTR_REPARSE_POINT, 0, EntryKind::symlink},
       })
    EXPECT_EQ(kind_of(c.attributes, c.tag), c.kind) << std::hex << c.attributes << " " << c.tag;
}

TEST(Win32Rules, EveryPathTakesTheFormThatIsNeitherTrimmedNorADevice) {
  EXPECT_EQ(long_path(L"C:\\src\\lib.\\aux.c"), L"\\\\?\\C:\\src\\lib.\\aux.c");
  EXPECT_EQ(long_path(L"C:\\"), L"\\\\?\\C:\\");
  EXPECT_EQ(long_path(L"\\\\server\\share\\src"), L"\\\\?\\UNC\\server\\share\\src");
  EXPECT_EQ(long_path(L"\\\\?\\C:\\src"), L"\\\\?\\C:\\src");
  EXPECT_EQ(long_path(L"\\\\?\\UNC\\server\\share"), L"\\\\?\\UNC\\server\\share");
  EXPECT_EQ(long_path(L"\\\\.\\C:\\src"), L"\\\\?\\C:\\src");
  // Only a relative path, or one with . or .., is resolved: that would trim "lib.".
  EXPECT_FALSE(needs_resolving(L"C:\\src\\lib.\\"));
  EXPECT_FALSE(needs_resolving(L"\\\\server\\share\\src\\"));
  EXPECT_FALSE(needs_resolving(L"\\\\?\\C:\\src\\..\\"));
  EXPECT_TRUE(needs_resolving(L"C:\\src\\..\\x\\"));
  EXPECT_TRUE(needs_resolving(L".\\"));
  EXPECT_TRUE(needs_resolving(L"C:src\\"));
  EXPECT_TRUE(needs_resolving(L"\\src\\"));
  EXPECT_TRUE(needs_resolving(L"\\"));
  // Argument 0 is cut at its last separator, whichever of the two it is.
  EXPECT_EQ(with_backslashes("C:\\src\\legacy/nivra-sign.exe"), "C:\\src\\legacy\\nivra-sign.exe");
  EXPECT_EQ(with_backslashes("C:/src/x\\nivra-sign.exe"), "C:\\src\\x\\nivra-sign.exe");
}

TEST(Win32Rules, AFailedReplaceIsUndoneAsItsErrorSaysAndRetriedOnlyWhenNothingChanged) {
  struct Case {
    std::uint32_t error;
    bool with_backup;
    Left left;
    bool transient;
  };
  for (const Case& c : std::initializer_list<Case>{
           {ERR_SHARING_VIOLATION, true, Left::as_they_were, true},
           {ERR_ACCESS_DENIED, true, Left::as_they_were, true},
           {ERR_LOCK_VIOLATION, false, Left::as_they_were, true},
           {ERR_UNABLE_TO_REMOVE_REPLACED, true, Left::as_they_were, true},
           {ERR_UNABLE_TO_MOVE_REPLACEMENT, true, Left::as_they_were, true},
           {ERR_UNABLE_TO_MOVE_REPLACEMENT, false, Left::name_empty, false},
           {ERR_UNABLE_TO_MOVE_REPLACEMENT_2, true, Left::under_backup, false},
           {ERR_UNABLE_TO_MOVE_REPLACEMENT_2, false, Left::name_empty, false},
           {87 /* invalid parameter */, true, Left::as_they_were, false},
       }) {
    EXPECT_EQ(left_by_replace(c.error, c.with_backup), c.left) << c.error << " " << c.with_backup;
    EXPECT_EQ(is_transient(c.error, c.with_backup), c.transient) << c.error << " " << c.with_backup;
    EXPECT_EQ(taken_meanwhile(c.error), c.error == ERR_UNABLE_TO_MOVE_REPLACEMENT_2) << c.error;
  }
  // A name taken meanwhile is another run's doing: the file is reported as held.
  EXPECT_TRUE(taken_meanwhile(ERR_FILE_EXISTS));
  EXPECT_TRUE(taken_meanwhile(ERR_ALREADY_EXISTS));
  const unsigned waited =
      std::accumulate(std::begin(Waits::retry_pauses), std::end(Waits::retry_pauses), 0u);
  EXPECT_GE(waited, 1500u);
  EXPECT_LE(waited, 2500u);
  // Another run holds the tree's mutex through its retries: a run waits longer for it.
  EXPECT_GT(Waits::mutex, waited);
}

TEST(Win32Rules, ANameThatMayStandForAnotherIsToldFromTheListing) {
  // Keys as the system compares names: upper case.
  EXPECT_EQ(repeated({L"A.C", L"B.C", L"A.C", L"A.C.OLD"}),
            (std::vector<bool>{true, false, true, false}));
  EXPECT_EQ(repeated({}), std::vector<bool>{});
  EXPECT_TRUE(may_be_made_up(L"x\xFFFD.c"));
  EXPECT_FALSE(may_be_made_up(L"caf\xE9.c"));
  // The folder as the system names it once open, and a file in it.
  EXPECT_TRUE(leads_back(L"\\WORK\\SRC", L"A.C", L"\\WORK\\SRC\\A.C"));
  EXPECT_TRUE(leads_back(L"\\", L"A.C", L"\\A.C"));  // a drive's root
  // A link opens the file it leads to, in the folder or out of it.
  EXPECT_FALSE(leads_back(L"\\WORK\\SRC", L"A.C", L"\\WORK\\SRC\\Z.C"));
  EXPECT_FALSE(leads_back(L"\\WORK\\SRC", L"A.C", L"\\OUT\\SRC\\A.C"));
  EXPECT_FALSE(leads_back(L"\\WORK\\SRC", L"A.C", L"\\WORK\\SRC\\SUB\\A.C"));
  EXPECT_FALSE(leads_back(L"\\WORK\\SRC", L"A.C", L"\\WORK\\SRCXA.C"));
}

TEST(Win32Rules, ARunIsToldFromALaterProcessOfItsNumberByItsStart) {
  // Two processes a millisecond apart start differently; the start is never "none".
  const std::uint64_t at = 133000000000000000;  // 100 ns units since 1601
  EXPECT_NE(start_of(at), start_of(at + 10000));
  EXPECT_EQ(start_of(at), start_of(at + 9999));
  EXPECT_NE(start_of(0), 0u);
  // Tags with a start, and tags without one (of POSIX, or of earlier runs), read back.
  for (const RunTag& tag : {RunTag{0x0011aabb, 0x1234, 0xbeef, start_of(at)},
                            RunTag{0x0011aabb, 0x1234, 0xbeef, 0}}) {
    const std::string text = tag.format();
    EXPECT_EQ(text.size(), tag.start ? 28u : 20u);
    EXPECT_EQ(RunTag::parse(text), tag) << text;
    EXPECT_EQ(RunTag::parse(text + "0"), std::nullopt);
  }
  EXPECT_EQ(RunTag::parse("0011aabb00001234beef00000000"), std::nullopt);
  EXPECT_EQ(RunTag::parse("0011aabb00001234beef0000000G"), std::nullopt);
}

}  // namespace
}  // namespace nivra::win32
