// nivra-sign on a small tmpfs that runs out of room or of inodes part way: conversion
// stops file by file with the message of the step that failed, and every file stays whole.

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <gtest/gtest.h>

#include "convert/messages.h"
#include "support/test_support.h"

namespace nivra::test {
namespace {

constexpr int FILES = 8;
const std::string ORIGINAL = repeat("caf\xE9 ", 1500);  // 7500 bytes; 9000 once signed

/// A tmpfs mounted at `path` for the life of the object.
class Tmpfs {
 public:
  Tmpfs(const std::string& path, const std::string& options) : path_(path) {
    make_dirs(path);
    mounted_ = mount("tmpfs", path.c_str(), "tmpfs", 0, options.c_str()) == 0;
    error_ = errno;
  }
  ~Tmpfs() {
    if (mounted_) umount2(path_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }
  int error() const { return error_; }

 private:
  std::string path_;
  bool mounted_;
  int error_;
};

/// Fills the file system of `dir` until it refuses more, then frees `spare` bytes (in
/// whole pages) or, with `inodes`, `spare` files.
void fill(const std::string& dir, bool inodes, int spare) {
  const std::string block(4096, 'x');
  std::vector<std::string> fillers;
  for (;;) {
    fillers.push_back(dir + "/filler" + std::to_string(fillers.size()));
    const int fd = open(fillers.back().c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    ASSERT_TRUE(fd >= 0 || inodes) << std::strerror(errno);
    if (fd < 0) break;
    off_t size = 0;
    while (!inodes && write(fd, block.data(), block.size()) == ssize_t(block.size()))
      size += off_t(block.size());
    close(fd);
    if (!inodes) {
      ASSERT_EQ(truncate(fillers.back().c_str(), size - spare), 0);
      return;
    }
  }
  fillers.pop_back();
  for (int i = 0; i < spare; ++i) unlink(fillers[fillers.size() - 1 - std::size_t(i)].c_str());
}

/// Runs nivra-sign over FILES sources on a tmpfs mounted with `options`, after `fill`;
/// `converts` of them find room. With `one_processor`, the run may use one processor only
/// (one file at a time).
void check_full_disk(const std::string& options, bool inodes, int spare, int converts,
                     std::string_view expected_message, bool one_processor = false) {
  TempDir tree;
  const std::string program = install_program(tree.path(), Direction::sign);
  Tmpfs disk(tree / "disk", options);
  if (!disk.mounted())
    GTEST_SKIP() << "cannot mount a tmpfs here (" << std::strerror(disk.error())
                 << "); mounting needs root";
  for (int i = 0; i < FILES; ++i)
    write_file(tree / ("disk/f" + std::to_string(i) + ".c"), ORIGINAL);
  fill(tree / "disk", inodes, spare);

  RunOptions pinned;
  pinned.extra_args = {"-c", "0", program};
  const ProgramResult r = one_processor ? run("taskset", pinned) : run(program);

  int converted = 0, failed = 0;
  for (const auto& [rel, content] : snapshot(tree / "disk")) {
    if (rel.starts_with("filler")) continue;
    ASSERT_FALSE(is_temporary_path(rel)) << "temporary left: " << rel;
    if (rel.ends_with(".OLD")) {
      EXPECT_EQ(content, ORIGINAL) << rel;
    } else if (content == ORIGINAL) {
      ++failed;
      EXPECT_FALSE(exists(tree / ("disk/" + rel + ".OLD"))) << rel;
    } else {
      ++converted;
      EXPECT_EQ(content.size(), ORIGINAL.size() + 1500 + 3) << rel << " is not whole";
    }
  }
  EXPECT_EQ(converted + failed, FILES);
  EXPECT_EQ(converted, converts);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, repeat(expected_message, std::size_t(failed)));
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), failed) << r.err;
  EXPECT_NE(r.err.find("No space left on device"), std::string::npos) << r.err;
}

TEST(FullDisk, WritesThatFindNoRoomLeaveEachFileWhole) {
  // Three pages: room for one signed file (9003 bytes) and not for a second. Files of one
  // size fail as many side by side as one at a time: only which of them may differ.
  for (const bool one_processor : {false, true}) {
    SCOPED_TRACE(one_processor ? "one processor" : "side by side");
    check_full_disk("size=128k", false, 3 * 4096, 1, MSG_WRITE_FAILED, one_processor);
  }
}

TEST(FullDisk, FilesThatCannotBeCreatedLeaveEachFileWhole) {
  check_full_disk("size=4m,nr_inodes=32", true, 0, 0, MSG_CREATE_FAILED);
}

// On tmpfs a hard link takes an inode too, until a name of the file goes: two spare
// inodes convert one file; then each new file takes the one left and its backup finds none.
TEST(FullDisk, BackupsThatCannotBeMadeLeaveEachFileWhole) {
  check_full_disk("size=4m,nr_inodes=32", true, 2, 1, MSG_BACKUP_FAILED);
}

}  // namespace
}  // namespace nivra::test
