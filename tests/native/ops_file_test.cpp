// File and directory operations on the ring, through a real loop and real
// files in a scratch folder: open flags, result families, stat, and the life
// of the path copies (made once, freed once, also across a full submission
// queue, a cancellation and a failed allocation).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "ops_fixture.hpp"

using namespace vorn::ev;
using vorn::Error;
using vorn::ev::testing::CountingAllocator;
using vorn::ev::testing::OpsLoop;
using vorn::ev::testing::Rec;
using vorn::ev::testing::runUntil;
using vorn::ev::testing::TempDir;

namespace {

FileOpenFlags openFlags(FileOpenMode mode) {
  FileOpenFlags f{};
  f.mode = mode;
  f.follow_symlinks = true;
  f.allow_directory = true;
  return f;
}

FileCreateFlags createFlags() {
  FileCreateFlags f{};
  f.mode = 0644;
  f.read = true;
  return f;
}

// Fills every free submission entry with a no-op whose completion the
// backend ignores (special user data), so the next operation is deferred.
// Only a ring that no poll has enabled stays full: an enabled one makes room
// by submitting.
int fillSubmissionQueue(Loop& loop) {
  if (loop.backend.enabled) {
    ADD_FAILURE() << "an enabled ring never stays full";
    return 0;
  }
  int n = 0;
  while (io_uring_sqe* sqe = loop.backend.getSqe()) {
    sqe->opcode = IORING_OP_NOP;
    sqe->user_data = backends::cancel_ud;
    ++n;
  }
  return n;
}

}  // namespace

TEST(FileOps, CreateWriteReadSizeSyncClose) {
  TempDir dir;
  OpsLoop loop;
  Rec<FileCreate> create(dir.fd, "data", createFlags());
  ASSERT_TRUE(loop.run(&create.c));
  ASSERT_TRUE(create.getResult().has_value()) << errorName(create.getResult().error());
  EXPECT_FALSE(create.getResult()->pollable);
  int fd = create.getResult()->fd;
  EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);

  const char a[] = "abc", b[] = "defgh";
  iovec out[2] = {{const_cast<char*>(a), 3}, {const_cast<char*>(b), 5}};
  Rec<FileWrite> write(fd, WriteBuf{out}, 10u);
  ASSERT_TRUE(loop.run(&write.c));
  EXPECT_EQ(write.getResult().value_or(0), 8u);

  Rec<FileSize> size(fd);
  ASSERT_TRUE(loop.run(&size.c));
  EXPECT_EQ(size.getResult().value_or(0), 18u);

  char buf[8] = {};
  iovec in[1] = {{buf, sizeof buf}};
  Rec<FileRead> read(fd, ReadBuf{in}, 12u);
  ASSERT_TRUE(loop.run(&read.c));
  ASSERT_EQ(read.getResult().value_or(0), 6u);
  EXPECT_EQ(std::string(buf, 6), "cdefgh");
  Rec<FileRead> past_end(fd, ReadBuf{in}, 100u);
  ASSERT_TRUE(loop.run(&past_end.c));
  EXPECT_EQ(past_end.getResult().value_or(99), 0u);

  Rec<FileSync> sync(fd, FileSyncFlags{.only_data = true});
  ASSERT_TRUE(loop.run(&sync.c));
  EXPECT_TRUE(sync.getResult().has_value());

  Rec<FileClose> close(fd);
  ASSERT_TRUE(loop.run(&close.c));
  EXPECT_TRUE(close.getResult().has_value());
  EXPECT_EQ(::fcntl(fd, F_GETFD), -1);

  // Closing it again: a close family error, not a silent success.
  ASSERT_TRUE(loop.run(&close.c));
  EXPECT_EQ(close.getResult().error_or(Error::none), Error::Unexpected);
}

TEST(FileOps, StreamingReadAndWriteMoveTheFilePosition) {
  TempDir dir;
  dir.write("s", "0123456789");
  OpsLoop loop;
  int fd = ::openat(dir.fd, "s", O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  char buf[4];
  iovec in[1] = {{buf, sizeof buf}};
  Rec<FileReadStreaming> r1(fd, ReadBuf{in});
  ASSERT_TRUE(loop.run(&r1.c));
  ASSERT_EQ(r1.getResult().value_or(0), 4u);
  EXPECT_EQ(std::string(buf, 4), "0123");
  ASSERT_TRUE(loop.run(&r1.c));
  EXPECT_EQ(std::string(buf, 4), "4567");

  const char x[] = "XY";
  iovec out[1] = {{const_cast<char*>(x), 2}};
  Rec<FileWriteStreaming> w(fd, WriteBuf{out});
  ASSERT_TRUE(loop.run(&w.c));
  EXPECT_EQ(w.getResult().value_or(0), 2u);
  EXPECT_EQ(::lseek(fd, 0, SEEK_CUR), 10);
  char all[10];
  ASSERT_EQ(::pread(fd, all, 10, 0), 10);
  EXPECT_EQ(std::string(all, 10), "01234567XY");
  ::close(fd);
}

TEST(FileOps, OpenAndCreateErrors) {
  TempDir dir;
  dir.write("exists", "x");
  OpsLoop loop;

  Rec<FileOpen> missing(dir.fd, "nope", openFlags(FileOpenMode::read_only));
  ASSERT_TRUE(loop.run(&missing.c));
  EXPECT_EQ(missing.getResult().error_or(Error::none), Error::FileNotFound);
  EXPECT_EQ(missing.c.osErrno(), ENOENT);  // the ring's number stays with the code

  FileCreateFlags excl = createFlags();
  excl.exclusive = true;
  Rec<FileCreate> again(dir.fd, "exists", excl);
  ASSERT_TRUE(loop.run(&again.c));
  EXPECT_EQ(again.getResult().error_or(Error::none), Error::PathAlreadyExists);

  // Confined to the folder: a path that climbs out is refused (EXDEV).
  FileOpenFlags beneath = openFlags(FileOpenMode::read_only);
  beneath.resolve_beneath = true;
  std::string up = "../" + dir.path.substr(dir.path.rfind('/') + 1) + "/exists";
  Rec<FileOpen> escape(dir.fd, up, beneath);
  ASSERT_TRUE(loop.run(&escape.c));
  EXPECT_EQ(escape.getResult().error_or(Error::none), Error::AccessDenied);
  Rec<FileOpen> inside(dir.fd, "exists", beneath);
  ASSERT_TRUE(loop.run(&inside.c));
  ASSERT_TRUE(inside.getResult().has_value());
  ::close(inside.getResult()->fd);

  // Without follow_symlinks a link is not opened (ELOOP).
  ASSERT_EQ(::symlinkat("exists", dir.fd, "link"), 0);
  FileOpenFlags nofollow = openFlags(FileOpenMode::read_only);
  nofollow.follow_symlinks = false;
  Rec<FileOpen> link(dir.fd, "link", nofollow);
  ASSERT_TRUE(loop.run(&link.c));
  EXPECT_EQ(link.getResult().error_or(Error::none), Error::SymLinkLoop);

  // Writing through a read-only descriptor.
  Rec<FileOpen> ro(dir.fd, "exists", openFlags(FileOpenMode::read_only));
  ASSERT_TRUE(loop.run(&ro.c));
  int fd = ro.getResult()->fd;
  const char z = 'z';
  iovec out[1] = {{const_cast<char*>(&z), 1}};
  Rec<FileWrite> write(fd, WriteBuf{out}, 0u);
  ASSERT_TRUE(loop.run(&write.c));
  EXPECT_EQ(write.getResult().error_or(Error::none), Error::NotOpenForWriting);
  ::close(fd);
}

TEST(FileOps, APathWithANulByteIsRefusedWithoutTouchingTheFileSystem) {
  TempDir dir;
  OpsLoop loop;
  using namespace std::string_view_literals;
  Rec<FileCreate> create(dir.fd, "evil\0.txt"sv, createFlags());
  ASSERT_TRUE(loop.run(&create.c));
  EXPECT_EQ(create.getResult().error_or(Error::none), Error::BadPathName);
  EXPECT_FALSE(dir.exists("evil"));
  Rec<DirCreateDir> mkdir(dir.fd, "a\0b"sv, 0755u);
  ASSERT_TRUE(loop.run(&mkdir.c));
  EXPECT_EQ(mkdir.getResult().error_or(Error::none), Error::BadPathName);
  EXPECT_FALSE(dir.exists("a"));
}

TEST(FileOps, SizeOfABadDescriptorIsUnexpected) {
  OpsLoop loop;
  Rec<FileSize> size(-1);
  ASSERT_TRUE(loop.run(&size.c));
  EXPECT_EQ(size.getResult().error_or(Error::none), Error::Unexpected);
}

TEST(FileOps, SetSizeOnTheRingWhenTheKernelHasFtruncate) {
  TempDir dir;
  dir.write("t", "0123456789");
  OpsLoop loop;
  if (!loop->backend.fileSetSizeSupported()) GTEST_SKIP() << "kernel without FTRUNCATE: the pool runs it";
  int fd = ::openat(dir.fd, "t", O_RDWR | O_CLOEXEC);
  Rec<FileSetSize> set(fd, 3u);
  ASSERT_TRUE(loop.run(&set.c));
  EXPECT_TRUE(set.getResult().has_value());
  struct stat st;
  ASSERT_EQ(::fstat(fd, &st), 0);
  EXPECT_EQ(st.st_size, 3);
  ::close(fd);
  int ro = ::openat(dir.fd, "t", O_RDONLY | O_CLOEXEC);
  Rec<FileSetSize> bad(ro, 1u);
  ASSERT_TRUE(loop.run(&bad.c));
  EXPECT_EQ(bad.getResult().error_or(Error::none), Error::Unexpected);  // EINVAL: not open for writing
  ::close(ro);
}

TEST(FileStatOp, DescriptorItselfOrAPathWithOrWithoutFollowingLinks) {
  TempDir dir;
  dir.write("f", "hello");
  ASSERT_EQ(::symlinkat("f", dir.fd, "l"), 0);
  OpsLoop loop;

  int fd = ::openat(dir.fd, "f", O_RDONLY | O_CLOEXEC);
  Rec<FileStat> self(fd, std::string_view{}, FileStatFlags{});
  ASSERT_TRUE(loop.run(&self.c));
  EXPECT_EQ(self.internal.path, nullptr);  // no copy without a path
  ASSERT_TRUE(self.getResult().has_value());
  struct stat st;
  ASSERT_EQ(::fstat(fd, &st), 0);
  FileStatInfo info = *self.getResult();
  EXPECT_EQ(info.kind, FileKind::file);
  EXPECT_EQ(info.size, 5u);
  EXPECT_EQ(info.inode, st.st_ino);
  EXPECT_EQ(info.nlink, 1u);
  EXPECT_EQ(info.mode, st.st_mode);
  EXPECT_EQ(info.mtime, static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec);
  ::close(fd);

  Rec<FileStat> link(dir.fd, "l", FileStatFlags{.follow_symlinks = false});
  ASSERT_TRUE(loop.run(&link.c));
  EXPECT_EQ(link.getResult()->kind, FileKind::sym_link);
  Rec<FileStat> target(dir.fd, "l", FileStatFlags{.follow_symlinks = true});
  ASSERT_TRUE(loop.run(&target.c));
  EXPECT_EQ(target.getResult()->kind, FileKind::file);
  EXPECT_EQ(target.getResult()->size, 5u);

  Rec<FileStat> folder(dir.fd, ".", FileStatFlags{});
  ASSERT_TRUE(loop.run(&folder.c));
  EXPECT_EQ(folder.getResult()->kind, FileKind::directory);

  Rec<FileStat> missing(dir.fd, "none", FileStatFlags{});
  ASSERT_TRUE(loop.run(&missing.c));
  EXPECT_EQ(missing.getResult().error_or(Error::none), Error::FileNotFound);
}

TEST(FileStatOp, StatxTimesBeforeTheEpoch) {
  struct statx stx{};
  stx.stx_mode = S_IFIFO | 0600;
  stx.stx_atime = {-1, 999'999'999, 0};  // 1 ns before the epoch
  stx.stx_mtime = {2, 5, 0};
  stx.stx_blksize = 4096;
  FileStatInfo info = backends::statxToFileStat(stx);
  EXPECT_EQ(info.kind, FileKind::named_pipe);
  EXPECT_EQ(info.atime, -1);
  EXPECT_EQ(info.mtime, 2'000'000'005);
  EXPECT_EQ(info.block_size, 4096u);
}

TEST(DirOps, CreateRenameDelete) {
  TempDir dir;
  OpsLoop loop;
  Rec<DirCreateDir> mkdir(dir.fd, "d", 0755u);
  ASSERT_TRUE(loop.run(&mkdir.c));
  EXPECT_TRUE(mkdir.getResult().has_value());
  ASSERT_TRUE(loop.run(&mkdir.c));
  EXPECT_EQ(mkdir.getResult().error_or(Error::none), Error::PathAlreadyExists);

  dir.write("a", "A");
  dir.write("b", "B");
  Rec<DirRenamePreserve> keep(dir.fd, "a", dir.fd, "b");
  ASSERT_TRUE(loop.run(&keep.c));
  EXPECT_EQ(keep.getResult().error_or(Error::none), Error::PathAlreadyExists);
  EXPECT_TRUE(dir.exists("a"));

  Rec<DirRename> replace(dir.fd, "a", dir.fd, "b");
  ASSERT_TRUE(loop.run(&replace.c));
  EXPECT_TRUE(replace.getResult().has_value());
  EXPECT_FALSE(dir.exists("a"));

  Rec<DirRenamePreserve> move(dir.fd, "b", dir.fd, "d/b");
  ASSERT_TRUE(loop.run(&move.c));
  EXPECT_TRUE(move.getResult().has_value());

  Rec<DirDeleteDir> rmdir(dir.fd, "d");
  ASSERT_TRUE(loop.run(&rmdir.c));
  EXPECT_EQ(rmdir.getResult().error_or(Error::none), Error::DirNotEmpty);
  Rec<DirDeleteFile> unlink_dir(dir.fd, "d");
  ASSERT_TRUE(loop.run(&unlink_dir.c));
  EXPECT_EQ(unlink_dir.getResult().error_or(Error::none), Error::IsDir);
  Rec<DirDeleteFile> unlink(dir.fd, "d/b");
  ASSERT_TRUE(loop.run(&unlink.c));
  EXPECT_TRUE(unlink.getResult().has_value());
  ASSERT_TRUE(loop.run(&rmdir.c));
  EXPECT_TRUE(rmdir.getResult().has_value());
  EXPECT_FALSE(dir.exists("d"));
}

TEST(DirOps, OpenForReadingOrAsAPathAndConfined) {
  TempDir dir;
  ASSERT_EQ(::mkdirat(dir.fd, "sub", 0755), 0);
  OpsLoop loop;
  Rec<DirOpen> iter(dir.fd, "sub", DirOpenFlags{.follow_symlinks = true, .iterate = true, .resolve_beneath = false});
  ASSERT_TRUE(loop.run(&iter.c));
  ASSERT_TRUE(iter.getResult().has_value());
  int fd = *iter.getResult();
  EXPECT_EQ(::fcntl(fd, F_GETFL) & O_PATH, 0);
  EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
  Rec<DirClose> close(fd);
  ASSERT_TRUE(loop.run(&close.c));
  EXPECT_TRUE(close.getResult().has_value());

  Rec<DirOpen> path_only(dir.fd, "sub",
                         DirOpenFlags{.follow_symlinks = true, .iterate = false, .resolve_beneath = false});
  ASSERT_TRUE(loop.run(&path_only.c));
  int pfd = path_only.getResult().value_or(-1);
  EXPECT_NE(::fcntl(pfd, F_GETFL) & O_PATH, 0);
  ::close(pfd);

  dir.write("file", "x");
  Rec<DirOpen> not_dir(dir.fd, "file",
                       DirOpenFlags{.follow_symlinks = true, .iterate = true, .resolve_beneath = false});
  ASSERT_TRUE(loop.run(&not_dir.c));
  EXPECT_EQ(not_dir.getResult().error_or(Error::none), Error::NotDir);

  // resolve_beneath is honoured: ".." cannot leave the folder.
  Rec<DirOpen> escape(dir.fd, "..", DirOpenFlags{.follow_symlinks = true, .iterate = true, .resolve_beneath = true});
  ASSERT_TRUE(loop.run(&escape.c));
  EXPECT_EQ(escape.getResult().error_or(Error::none), Error::AccessDenied);
}

TEST(PathCopies, AFullSubmissionQueueDefersWithOneCopyFreedOnce) {
  TempDir dir;
  CountingAllocator counting;
  OpsLoop loop(counting.handle());
  int base_allocs = counting.allocs;

  ASSERT_GT(fillSubmissionQueue(*loop), 0);
  Rec<DirCreateDir> mkdir(dir.fd, "deferred", 0755u);
  loop->add(&mkdir.c);
  EXPECT_EQ(loop->backend.pending.head, &mkdir.c);
  EXPECT_EQ(counting.allocs - base_allocs, 1);
  EXPECT_NE(mkdir.internal.path, nullptr);
  EXPECT_EQ(loop->state.active, 1u);

  ASSERT_TRUE(runUntil(*loop, &mkdir.c));
  EXPECT_TRUE(mkdir.getResult().has_value());
  EXPECT_TRUE(dir.exists("deferred"));
  EXPECT_EQ(counting.allocs - base_allocs, 1);  // the resubmission reused the copy
  EXPECT_EQ(counting.frees, 1);
  EXPECT_EQ(mkdir.internal.path, nullptr);
  EXPECT_EQ(loop->state.active, 0u);
  EXPECT_EQ(loop->state.inflight_io, 0u);

  // A rename waiting for an entry and cancelled meanwhile never reaches the
  // kernel; both copies are freed. A fresh loop, so that its queue stays full.
  OpsLoop fresh(counting.handle());
  dir.write("from", "x");
  ASSERT_GT(fillSubmissionQueue(*fresh), 0);
  Rec<DirRename> rename(dir.fd, "from", dir.fd, "to");
  fresh->add(&rename.c);
  EXPECT_EQ(counting.allocs - base_allocs, 3);
  fresh->cancel(&rename.c);
  ASSERT_TRUE(runUntil(*fresh, &rename.c));
  EXPECT_EQ(rename.getResult().error_or(Error::none), Error::Canceled);
  EXPECT_TRUE(dir.exists("from"));
  EXPECT_FALSE(dir.exists("to"));
  EXPECT_EQ(counting.frees, 3);
  EXPECT_EQ(counting.live_bytes, 0u);
}

TEST(PathCopies, AFailedAllocationFinishesAtOnceAndGivesBackTheFirstCopy) {
  TempDir dir;
  dir.write("from", "x");
  CountingAllocator counting;
  OpsLoop loop(counting.handle());
  counting.fail_at = counting.allocs + 2;  // the old path's copy succeeds, the new one's fails
  Rec<DirRename> rename(dir.fd, "from", dir.fd, "to");
  ASSERT_TRUE(loop.run(&rename.c));
  EXPECT_EQ(rename.getResult().error_or(Error::none), Error::SystemResources);
  EXPECT_EQ(counting.frees, 1);
  EXPECT_EQ(counting.live_bytes, 0u);
  EXPECT_TRUE(dir.exists("from"));
  EXPECT_EQ(loop->state.inflight_io, 0u);

  counting.fail_at = counting.allocs + 1;
  Rec<FileOpen> open(dir.fd, "from", openFlags(FileOpenMode::read_only));
  ASSERT_TRUE(loop.run(&open.c));
  EXPECT_EQ(open.getResult().error_or(Error::none), Error::SystemResources);
}
