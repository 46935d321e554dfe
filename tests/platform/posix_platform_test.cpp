// The POSIX platform on a real folder: reads into memory mapped ahead, and backups linked
// from the descriptor of the file read.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <string_view>

#include "convert/read_buffer.h"
#include "platform/posix/posix_platform.h"
#include "support/test_support.h"

namespace nivra {
namespace {

// A read large enough to have its memory mapped ahead, into a buffer grown without being
// cleared, at an offset that is not page-aligned, and again into the range already mapped.
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

}  // namespace
}  // namespace nivra
