// The programs on the file systems users keep code on, each made in a small image and
// mounted here (loop devices and FUSE, so as root): one run, two runs at once, and runs
// killed at random moments followed by a clean run. Nothing is lost, nothing stays
// unconverted, and no temporary is left once a run ends cleanly. Each file system also
// says what it keeps of a file besides its bytes, for the table of the documentation.

#include <signal.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <cstdio>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "convert/messages.h"
#include "support/test_support.h"

namespace nivra::test {
namespace {

constexpr unsigned SEED = 20261210;
constexpr int FILES = 40;
constexpr int KILLS = 6;
using Files = std::map<std::string, std::string>;

/// How to make and mount one kind of file system in a folder `base`: an image `base/img`
/// made by `make`, mounted at `base/mnt` by `mount` ("IMG" and "MNT" stand for the paths).
struct Kind {
  const char* name;
  const char* tool;   ///< a program the kind needs, with its Debian package in `package`
  const char* package;
  const char* make;   ///< "" where there is no image (overlayfs)
  const char* mount;
  bool fuse;          ///< unmounted with fusermount
  /// Where the file system itself fails the programs: then only that nothing is lost is
  /// asserted, and this is printed.
  const char* flaw = "";
};

constexpr Kind KINDS[] = {
    {"ext4", "mkfs.ext4", "e2fsprogs", "mkfs.ext4 -q -F IMG", "mount -o loop IMG MNT", false},
    {"xfs", "mkfs.xfs", "xfsprogs", "mkfs.xfs -q -f IMG", "mount -o loop IMG MNT", false},
    {"btrfs", "mkfs.btrfs", "btrfs-progs", "mkfs.btrfs -q -f IMG", "mount -o loop IMG MNT",
     false},
    // The files lie in the lower layer, as a container's image holds them.
    {"overlayfs", "mount", "mount", "",
     "mount -t overlay overlay -o lowerdir=BASE/lower,upperdir=BASE/upper,workdir=BASE/work MNT",
     false},
    {"ntfs-3g", "ntfs-3g", "ntfs-3g", "mkntfs -q -F -f IMG", "ntfs-3g IMG MNT", true},
    // exfat-fuse, as root, wants a block device.
    {"exfat-fuse", "mount.exfat-fuse", "exfat-fuse exfatprogs", "mkfs.exfat IMG",
     "mount.exfat-fuse \"$(losetup -f --show IMG)\" MNT", true},
    {"fusefat", "fusefat", "fusefat dosfstools", "mkfs.vfat IMG", "fusefat -o rw+ IMG MNT", true,
     "fusefat refuses some renames (EPERM) and gives zeros through a descriptor of a file once "
     "other files were written: most files are reported, and temporaries stay"},
};

void PrintTo(const Kind& k, std::ostream* os) { *os << k.name; }

std::string replaced(std::string command, const std::string& base) {
  for (const auto& [from, to] : {std::pair<std::string, std::string>{"IMG", base + "/img"},
                                 {"MNT", base + "/mnt"},
                                 {"BASE", base}}) {
    for (std::size_t at; (at = command.find(from)) != command.npos;)
      command.replace(at, from.size(), to);
  }
  return command;
}

/// The tree where programs and files are: written into the lower layer of an overlay
/// before it is mounted, else through the mount.
class Mounted : public ::testing::TestWithParam<Kind> {
 protected:
  void SetUp() override {
    const Kind& k = GetParam();
    if (!running_as_root()) GTEST_SKIP() << "mounting an image needs root";
    if (!command_succeeds(std::string("command -v ") + k.tool + " >/dev/null"))
      GTEST_SKIP() << k.tool << " not found (Debian " << k.package
                   << ", .ci/install-filesystem-tools.sh)";
    if (k.fuse && access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "no /dev/fuse";
    base_ = std::make_unique<TempDir>();
    const std::string base = base_->path();
    make_dirs(base + "/mnt");
    if (*k.make) {
      // Sparse: XFS wants 300 MB at least.
      ASSERT_TRUE(command_succeeds("truncate -s 320M '" + base + "/img'"));
      ASSERT_TRUE(command_succeeds(replaced(k.make, base) + " >/dev/null 2>&1"))
          << replaced(k.make, base);
    } else {
      for (const char* d : {"/lower", "/upper", "/work"}) make_dirs(base + d);
    }
  }
  void TearDown() override {
    if (mounted_) {
      const std::string mnt = base_->path() + "/mnt";
      command_succeeds((GetParam().fuse ? "fusermount -u '" + mnt + "' 2>/dev/null || " : "") +
                       "umount '" + mnt + "' 2>/dev/null || umount -l '" + mnt + "'");
    }
    if (base_)  // a loop device the mount itself did not set up
      command_succeeds("losetup -j '" + base_->path() + "/img' | cut -d: -f1 | "
                       "xargs -r -n1 losetup -d 2>/dev/null");
  }
  /// Mounts the file system, with `trees` written into it first where it is an overlay;
  /// the folder each tree is in, through the mount.
  void mount_with(const std::map<std::string, Files>& trees) {
    const Kind& k = GetParam();
    const std::string base = base_->path();
    const bool lower = !*k.make;
    for (const auto& [name, files] : trees)
      if (lower) prepare(base + "/lower/" + name, files);
    const std::string command = replaced(k.mount, base);
    ASSERT_TRUE(mounted_ = command_succeeds(command + " 2>/dev/null")) << command;
    for (const auto& [name, files] : trees)
      if (!lower) prepare(at(name), files);
  }
  std::string at(const std::string& tree) const { return base_->path() + "/mnt/" + tree; }
  static void prepare(const std::string& dir, const Files& files) {
    write_files(dir, files);
    install_program(dir, Direction::sign);
  }
  /// What the tree holds against its files before and after a clean run.
  TreeReport left(const std::string& tree, const Files& before) const {
    return check_tree(tree_of(at(tree)), before, converted(before, Direction::sign));
  }
  ProgramResult sign(const std::string& tree, long long kill_us = -1) const {
    RunOptions o;
    o.kill_after_us = kill_us;
    return run(at(tree) + "/nivra-sign", o);
  }

  std::unique_ptr<TempDir> base_;
  bool mounted_ = false;
};

TEST_P(Mounted, OneRunTwoAtOnceAndKillsLoseNothingAndLeaveNoTemporary) {
  const Files before = ansi_sources(FILES, SEED);
  mount_with({{"one", before}, {"two", before}, {"kill", before}});
  if (HasFatalFailure()) return;
  const char* kind = GetParam().name;

  // One run.
  const auto started = std::chrono::steady_clock::now();
  const ProgramResult one = sign("one");
  const auto span = std::chrono::duration_cast<std::chrono::microseconds>(
                        std::chrono::steady_clock::now() - started)
                        .count();
  const bool sound = !*GetParam().flaw;
  // Every file converted, and nothing else left; or, on a flawed file system, nothing lost.
  const auto check = [&](const TreeReport& report, int status, const std::string& when) {
    if (sound) {
      EXPECT_EQ(status, 0) << when;
      EXPECT_EQ(report.converted, FILES) << when << "\n" << report.examples;
      EXPECT_EQ(report.faults() + report.temporaries, 0) << when << "\n" << report.examples;
    } else {
      EXPECT_EQ(report.faults() - report.kept_beside, 0) << when << "\n" << report.examples;
    }
  };
  EXPECT_EQ(one.status, sound ? 0 : one.status) << one.out << one.err;
  TreeReport report = left("one", before);
  check(report, one.status, "one run");

  // Two at once: each file converted by one of them, or named by one. Where a file system
  // cannot swap two names, the name is empty for a moment, and the run that finds it so
  // reports it; one whose new file came second keeps the original it moved aside, for
  // the next run.
  {
    Process a(at("two") + "/nivra-sign"), b(at("two") + "/nivra-sign");
    const ProgramResult ra = a.wait(), rb = b.wait();
    for (const ProgramResult& r : {ra, rb}) {
      std::size_t named = 0;
      for (const std::string& line : split_lines(r.out)) named += line != MSG_ALREADY_SIGNED;
      // A name left beside a file is named on a line of its own.
      EXPECT_GE(split_lines(r.err).size(), named) << r.out << r.err;
    }
    report = left("two", before);
    EXPECT_EQ(report.faults() - report.kept_beside, 0) << report.examples;
  }
  const ProgramResult after_two = sign("two");
  check(left("two", before), after_two.status, "a run after two at once: " + after_two.err);

  // Kills at random moments of a run, then a clean run.
  std::mt19937 rng(SEED);
  int met = 0, temporaries = 0;
  for (int k = 0; k < KILLS; ++k) {
    const ProgramResult killed = sign("kill", static_cast<long long>(rng() % std::uint64_t(span / 2 + 1)));
    met += killed.status == 128 + SIGKILL;
    report = left("kill", before);
    temporaries += report.temporaries;
    // A name a kill left empty has its original beside it, which the next run puts back.
    EXPECT_EQ(report.faults() - report.kept_beside, 0) << "after kill " << k << "\n"
                                                        << report.examples;
  }
  const ProgramResult clean = sign("kill");
  report = left("kill", before);
  check(report, clean.status, "a clean run after kills: " + clean.err);
  std::printf("[ %-8.8s ] %d files: one run, two at once, %d of %d kills met a run (%d "
              "temporaries left); after a clean run %d converted, %d temporaries\n",
              kind, FILES, met, KILLS, temporaries, report.converted, report.temporaries);
  if (!sound) std::printf("[ %-8.8s ] %s\n", kind, GetParam().flaw);
}

// What the file system keeps of a file besides its bytes, as the programs see it: printed
// for the documentation's table, and checked against what the kind is known to keep.
TEST_P(Mounted, WhatItKeepsOfAFile) {
  mount_with({{"probe", {{"a.c", "x"}}}});
  if (HasFatalFailure()) return;
  const std::string dir = at("probe");
  const std::string file = dir + "/a.c";
  struct stat st {};
  const bool modes = chmod(file.c_str(), 0640) == 0 && stat(file.c_str(), &st) == 0 &&
                     (st.st_mode & 07777) == 0640;
  const bool owners =
      chown(file.c_str(), 4242, 4243) == 0 && stat(file.c_str(), &st) == 0 && st.st_uid == 4242;
  const bool links = link(file.c_str(), (dir + "/b.c").c_str()) == 0;
  write_file(dir + "/Case.c", "y");
  const bool one_case = exists(dir + "/case.c");
  const bool xattrs = setxattr(file.c_str(), "user.nivra", "1", 1, 0) == 0;
  const bool acls = command_succeeds("setfacl -m u:4244:r '" + file + "' 2>/dev/null");
  std::printf("[ %-8.8s ] permissions %s, owners %s, links %s, names %s, xattrs %s, "
              "ACLs %s\n",
              GetParam().name, modes ? "kept" : "not kept", owners ? "kept" : "not kept",
              links ? "yes" : "no", one_case ? "case-insensitive" : "case-sensitive",
              xattrs ? "yes" : "no", acls ? "yes" : "no");
  const std::string name = GetParam().name;
  const bool unix_like = !GetParam().fuse;
  EXPECT_EQ(modes, unix_like) << name;
  EXPECT_EQ(links, unix_like || name == "ntfs-3g") << name;
  EXPECT_EQ(one_case, name == "exfat-fuse" || name == "fusefat") << name;
}

INSTANTIATE_TEST_SUITE_P(Kinds, Mounted, ::testing::ValuesIn(KINDS),
                         [](const ::testing::TestParamInfo<Kind>& info) {
                           std::string name = info.param.name;
                           for (char& c : name)
                             if (c == '-') c = '_';
                           return name;
                         });

}  // namespace
}  // namespace nivra::test
