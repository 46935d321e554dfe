// The POSIX platform on a real folder: large reads, backups linked from the descriptor of
// the file read, what a refused link says of the file system, and the bounded wait for a
// lock another thread holds.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/statfs.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "convert/read_buffer.h"
#include "platform/posix/posix_internal.h"
#include "platform/posix/posix_platform.h"
#include "support/test_support.h"

namespace nivra {
namespace {

// A large read into a buffer grown without being cleared, at an offset that is not
// page-aligned, and again into the same range.
TEST(FastPath, LargeReadsIntoAnUnclearedBufferGetEveryByte) {
  test::TempDir dir;
  std::string bytes(std::size_t(9) << 20, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = char(i * 2654435761u >> 13);
  test::write_file(dir / "big.c", bytes);

  PosixPlatform p;
  Dir d;
  ASSERT_TRUE(p.open_root(dir.path(), d).ok());
  ReadBuffer buf(3, 'x');
  buf.resize(bytes.size() + 100);
  EXPECT_EQ(std::string_view(buf.data(), 3), "xxx");  // growing keeps what was there
  for (int round = 0; round < 2; ++round) {
    File f;
    ASSERT_TRUE(p.open_read(d, "big.c", f).ok());
    std::size_t size = 0, got = 0;
    do {
      ASSERT_TRUE(p.read(f, size, buf.data() + 7 + size, buf.size() - 7 - size, got).ok());
      size += got;
    } while (got != 0);
    p.close(f);
    ASSERT_EQ(size, bytes.size());
    ASSERT_TRUE(std::string_view(buf.data() + 7, size) == bytes) << "round " << round;
  }
  p.close_dir(d);
}

ino_t inode_of(const std::string& path) {
  struct stat st;
  EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
  return st.st_ino;
}

// The backup is the very file that was read, linked from its descriptor: directly where
// the process has the privilege, through /proc where it has not.
TEST(FastPath, BackupIsTheFileReadWithOrWithoutThePrivilegeToLinkADescriptor) {
  for (bool unprivileged : {false, true}) {
    if (unprivileged && !test::can_run_unprivileged()) continue;
    test::TempDir tree;
    const std::string program = test::install_program(tree.path(), Direction::sign);
    test::write_file(tree / "a.c", "caf\xE9\r\n");
    if (unprivileged) test::give_to_unprivileged(tree.path());
    const ino_t read = inode_of(tree / "a.c");
    test::RunOptions options;
    options.unprivileged = unprivileged;
    const test::ProgramResult r = test::run(program, options);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(inode_of(tree / "a.c.OLD"), read) << "unprivileged " << unprivileged;
    EXPECT_EQ(test::read_file(tree / "a.c.OLD"), "caf\xE9\r\n");
    EXPECT_EQ(test::read_file(tree / "a.c"), "\xEF\xBB\xBF" "caf\xC3\xA9\r\n");
  }
}

// On a user-space file system that keeps no second name (exfat-fuse answers EPERM), a
// link fails as one that cannot be made, so that the caller copies the file instead;
// also where another thread's link, failed meanwhile, has just taught the platform so.
TEST(PosixPlatform, ALinkRefusedWhileAnotherLearnsTheFileSystemKeepsNoLinksCannotLink) {
  static PosixPlatform* platform = nullptr;
  static Dir dir;
  static File other;
  static Status learnt;
  static const posix::SystemCalls calls = [] {
    posix::SystemCalls c = posix::libc_calls();
    c.fstatfs = [](int fd, struct statfs* st) {
      const int r = posix::libc_calls().fstatfs(fd, st);
      st->f_type = 0x65735546;  // FUSE
      return r;
    };
    c.linkat = [](int, const char*, int, const char*, int) {
      // The other thread's link fails, start to end, while this one's is under way.
      if (PosixPlatform* p = std::exchange(platform, nullptr)) learnt = p->link(other, dir, "b.c.OLD");
      errno = EPERM;
      return -1;
    };
    return c;
  }();
  test::TempDir tree;
  test::write_file(tree / "a.c", "a");
  test::write_file(tree / "b.c", "b");
  PosixPlatform p(calls);
  ASSERT_TRUE(p.open_root(tree.path(), dir).ok());
  File f;
  ASSERT_TRUE(p.open_read(dir, "a.c", f).ok());
  ASSERT_TRUE(p.open_read(dir, "b.c", other).ok());
  platform = &p;
  EXPECT_EQ(p.link(f, dir, "a.c.OLD").fault, Fault::cannot_link);
  EXPECT_EQ(learnt.fault, Fault::cannot_link);
  EXPECT_EQ(p.link(f, dir, "a.c.OLD").fault, Fault::cannot_link) << "once learnt";
  p.close(f);
  p.close(other);
  p.close_dir(dir);
}

// Another name of a file that another thread of the run holds locked waits for that
// thread, for a bounded number of pauses, and then fails as held; once the file is
// closed, its turn comes. A lock that no thread of the run has noted (one about to note
// it, or one that has just noted its close) is asked for again for a moment.
TEST(PosixPlatform, AnotherNameOfAFileAnotherThreadHoldsIsWaitedForABoundedTime) {
  static std::atomic<long> pauses{0}, unlock_at{0};
  static std::atomic<int> unnoted{-1};  ///< a descriptor locked outside the platform
  static const posix::SystemCalls calls = [] {
    posix::SystemCalls c = posix::libc_calls();
    c.nanosleep = [](const timespec*, timespec*) {
      if (++pauses == unlock_at) flock(unnoted, LOCK_UN);
      return 0;
    };
    return c;
  }();
  test::TempDir tree;
  test::write_file(tree / "a.c", "a");
  ASSERT_EQ(link((tree / "a.c").c_str(), (tree / "b.c").c_str()), 0);
  PosixPlatform p(calls);
  Dir d;
  ASSERT_TRUE(p.open_root(tree.path(), d).ok());
  File held, second;
  std::thread([&] { EXPECT_TRUE(p.open_read(d, "a.c", held).ok()); }).join();
  EXPECT_EQ(p.open_read(d, "b.c", second).fault, Fault::busy);
  EXPECT_EQ(pauses.load(), posix::Waits::LOCK_LIMIT_NS / posix::Waits::LOCK_PAUSE_NS);
  p.close(held);
  pauses = 0;
  EXPECT_TRUE(p.open_read(d, "b.c", second).ok());
  EXPECT_EQ(pauses.load(), 0);
  p.close(second);

  unnoted = ::open((tree / "a.c").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(flock(unnoted, LOCK_EX), 0);
  pauses = 0;
  EXPECT_EQ(p.open_read(d, "b.c", second).fault, Fault::busy);
  EXPECT_EQ(pauses.load(), posix::Waits::UNNOTED_LOCK_NS / posix::Waits::LOCK_PAUSE_NS);
  pauses = 0;
  unlock_at = 3;
  EXPECT_TRUE(p.open_read(d, "b.c", second).ok());
  EXPECT_EQ(pauses.load(), 3);
  p.close(second);
  ::close(unnoted);
  p.close_dir(d);
}

}  // namespace
}  // namespace nivra
