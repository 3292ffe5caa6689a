// File-system operations the ring cannot do, run on a real thread pool and
// handed back to a real loop: each job's call and result, the timestamp
// conversion, the /proc fallbacks, cancellation of a job before it starts,
// and the outcome without a pool.
#include <dirent.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <set>
#include <string>
#include <thread>

#include "ev/backends/common.hpp"
#include "ev/thread_pool.hpp"
#include "ops_fixture.hpp"

using namespace vorn::ev;
using vorn::Error;
using vorn::ev::testing::CountingAllocator;
using vorn::ev::testing::OpsLoop;
using vorn::ev::testing::Rec;
using vorn::ev::testing::runUntil;
using vorn::ev::testing::TempDir;

namespace {

// A pool of `max` workers (0: jobs run inline, on the thread that submits).
struct Pool {
  ThreadPool pool;
  explicit Pool(std::size_t max = 2) {
    ThreadPoolOptions o{0, max, 60'000'000'000, 2};
    EXPECT_EQ(pool.init(cAllocator(), o), Error::none);
  }
  ~Pool() { pool.deinit(); }
};

struct PooledLoop {
  Pool pool;
  OpsLoop loop;
  explicit PooledLoop(std::size_t max = 2, Allocator alloc = cAllocator()) : pool(max), loop(alloc, &pool.pool) {}
  ~PooledLoop() { pool.pool.stop(); }  // the workers go before the loop does
  bool run(Completion* c) { return loop.run(c); }
  Loop& operator*() { return *loop; }
};

std::int64_t ns(const timespec& t) { return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec; }

struct stat statAt(int dir, const char* name, int flags = 0) {
  struct stat st{};
  EXPECT_EQ(::fstatat(dir, name, &st, flags), 0) << name;
  return st;
}

std::string realPath(const std::string& p) {
  char* r = ::realpath(p.c_str(), nullptr);
  std::string s = r != nullptr ? r : "";
  std::free(r);
  return s;
}

// A plain work item that holds a worker until released.
struct Blocker {
  Work work;
  std::atomic<bool> started{false};
  std::atomic<bool> release{false};
  Blocker() {
    work.init(
        [](Work* w) noexcept {
          auto* self = containerOf<Blocker>(w, offsetof(Blocker, work));
          self->started.store(true);
          while (!self->release.load()) std::this_thread::sleep_for(std::chrono::microseconds(200));
        },
        nullptr);
  }
};

bool waitFor(const std::atomic<bool>& flag) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!flag.load()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

}  // namespace

TEST(Timestamps, FloorSecondsNullIsOmitAndOutOfRangeClamps) {
  auto ts = backends::timestampToTimespec(TimestampNs{-1});
  EXPECT_EQ(ts.tv_sec, -1);
  EXPECT_EQ(ts.tv_nsec, 999'999'999);
  ts = backends::timestampToTimespec(TimestampNs{-1'000'000'000});
  EXPECT_EQ(ts.tv_sec, -1);
  EXPECT_EQ(ts.tv_nsec, 0);
  ts = backends::timestampToTimespec(TimestampNs{1'500'000'000});
  EXPECT_EQ(ts.tv_sec, 1);
  EXPECT_EQ(ts.tv_nsec, 500'000'000);
  ts = backends::timestampToTimespec(std::nullopt);
  EXPECT_EQ(ts.tv_nsec, UTIME_OMIT);
  // 2^94 ns is beyond 64-bit seconds: clamped, not wrapped into a small time.
  ts = backends::timestampToTimespec(TimestampNs{1} << 94);
  EXPECT_EQ(ts.tv_sec, LLONG_MAX);
  ts = backends::timestampToTimespec(-(TimestampNs{1} << 94));
  EXPECT_EQ(ts.tv_sec, LLONG_MIN);
}

TEST(Delegated, PermissionsOwnerAndTimestamps) {
  TempDir dir;
  dir.write("f", "x");
  PooledLoop loop;
  int fd = ::openat(dir.fd, "f", O_RDWR | O_CLOEXEC);

  Rec<FileSetPermissions> chmod(fd, 0600u);
  ASSERT_TRUE(loop.run(&chmod.c));
  EXPECT_TRUE(chmod.getResult().has_value());
  EXPECT_EQ(statAt(dir.fd, "f").st_mode & 07777, 0600u);

  Rec<DirSetFilePermissions> chmod_at(dir.fd, "f", 0640u, PathSetFlags{.follow_symlinks = false});
  ASSERT_TRUE(loop.run(&chmod_at.c));
  EXPECT_TRUE(chmod_at.getResult().has_value());
  EXPECT_EQ(statAt(dir.fd, "f").st_mode & 07777, 0640u);

  Rec<DirSetPermissions> chmod_dir(dir.fd, 0750u);
  ASSERT_TRUE(loop.run(&chmod_dir.c));
  EXPECT_EQ(statAt(dir.fd, ".").st_mode & 07777, 0750u);

  // Null ids leave ownership as it is.
  struct stat before = statAt(dir.fd, "f");
  Rec<FileSetOwner> chown(fd, std::nullopt, std::nullopt);
  ASSERT_TRUE(loop.run(&chown.c));
  EXPECT_TRUE(chown.getResult().has_value());
  Rec<DirSetFileOwner> chown_at(dir.fd, "f", before.st_uid, std::nullopt, PathSetFlags{.follow_symlinks = true});
  ASSERT_TRUE(loop.run(&chown_at.c));
  EXPECT_TRUE(chown_at.getResult().has_value());
  EXPECT_EQ(statAt(dir.fd, "f").st_uid, before.st_uid);

  // atime null: unchanged; mtime -1 ns: one nanosecond before the epoch.
  before = statAt(dir.fd, "f");
  Rec<FileSetTimestamps> touch(fd, FileTimestamps{std::nullopt, TimestampNs{-1}});
  ASSERT_TRUE(loop.run(&touch.c));
  EXPECT_TRUE(touch.getResult().has_value());
  struct stat after = statAt(dir.fd, "f");
  EXPECT_EQ(ns(after.st_atim), ns(before.st_atim));
  EXPECT_EQ(after.st_mtim.tv_sec, -1);
  EXPECT_EQ(after.st_mtim.tv_nsec, 999'999'999);

  // Both null through a path: nothing changes, ctime included.
  before = after;
  Rec<DirSetFileTimestamps> omit(dir.fd, "f", FileTimestamps{}, PathSetFlags{.follow_symlinks = true});
  ASSERT_TRUE(loop.run(&omit.c));
  EXPECT_TRUE(omit.getResult().has_value());
  after = statAt(dir.fd, "f");
  EXPECT_EQ(ns(after.st_atim), ns(before.st_atim));
  EXPECT_EQ(ns(after.st_mtim), ns(before.st_mtim));
  EXPECT_EQ(ns(after.st_ctim), ns(before.st_ctim));

  // A link's own times, not its target's.
  ASSERT_EQ(::symlinkat("f", dir.fd, "l"), 0);
  Rec<DirSetFileTimestamps> link_times(dir.fd, "l", FileTimestamps{TimestampNs{5'000'000'000}, TimestampNs{7}},
                                       PathSetFlags{.follow_symlinks = false});
  ASSERT_TRUE(loop.run(&link_times.c));
  EXPECT_TRUE(link_times.getResult().has_value());
  EXPECT_EQ(ns(statAt(dir.fd, "l", AT_SYMLINK_NOFOLLOW).st_mtim), 7);
  EXPECT_EQ(ns(statAt(dir.fd, "f").st_mtim), -1);

  Rec<FileSetPermissions> bad(-1, 0600u);
  ASSERT_TRUE(loop.run(&bad.c));
  EXPECT_EQ(bad.getResult().error_or(Error::none), Error::Unexpected);  // EBADF is not in the table
  ::close(fd);
}

TEST(Delegated, SetSizeOnThePoolWhenTheRingCannot) {
  TempDir dir;
  dir.write("t", "0123456789");
  PooledLoop loop;
  (*loop).loop_group->shared.ftruncate_support.store(backends::SharedState::ftruncate_unsupported);
  int fd = ::openat(dir.fd, "t", O_RDWR | O_CLOEXEC);
  Rec<FileSetSize> set(fd, 4u);
  ASSERT_TRUE(loop.run(&set.c));
  EXPECT_TRUE(set.getResult().has_value());
  EXPECT_EQ(statAt(dir.fd, "t").st_size, 4);
  EXPECT_EQ(set.internal.work.c.op, Op::work);  // it went through the job
  ::close(fd);
}

TEST(Delegated, SymLinkReadLinkAndHardLinks) {
  TempDir dir;
  dir.write("f", "data");
  PooledLoop loop;

  Rec<DirSymLink> sym(dir.fd, "f", "s", SymLinkFlags{});
  ASSERT_TRUE(loop.run(&sym.c));
  EXPECT_TRUE(sym.getResult().has_value());
  ASSERT_TRUE(loop.run(&sym.c));
  EXPECT_EQ(sym.getResult().error_or(Error::none), Error::PathAlreadyExists);

  char buf[16];
  Rec<DirReadLink> readlink(dir.fd, "s", std::span<char>{buf});
  ASSERT_TRUE(loop.run(&readlink.c));
  ASSERT_EQ(readlink.getResult().value_or(0), 1u);
  EXPECT_EQ(buf[0], 'f');

  // A link text that fills the buffer may have been cut: refused.
  ASSERT_EQ(::symlinkat("abcdef", dir.fd, "long"), 0);
  char small[6];
  Rec<DirReadLink> cut(dir.fd, "long", std::span<char>{small});
  ASSERT_TRUE(loop.run(&cut.c));
  EXPECT_EQ(cut.getResult().error_or(Error::none), Error::NameTooLong);
  Rec<DirReadLink> not_link(dir.fd, "f", std::span<char>{buf});
  ASSERT_TRUE(loop.run(&not_link.c));
  EXPECT_EQ(not_link.getResult().error_or(Error::none), Error::NotLink);

  Rec<DirHardLink> hard(dir.fd, "s", dir.fd, "h", HardLinkFlags{.follow_symlinks = true});
  ASSERT_TRUE(loop.run(&hard.c));
  EXPECT_TRUE(hard.getResult().has_value());
  EXPECT_EQ(statAt(dir.fd, "h", AT_SYMLINK_NOFOLLOW).st_ino, statAt(dir.fd, "f").st_ino);  // the target, followed
  Rec<DirHardLink> exists(dir.fd, "f", dir.fd, "h", HardLinkFlags{});
  ASSERT_TRUE(loop.run(&exists.c));
  EXPECT_EQ(exists.getResult().error_or(Error::none), Error::PathAlreadyExists);

  int fd = ::openat(dir.fd, "f", O_RDONLY | O_CLOEXEC);
  Rec<FileHardLink> by_fd(fd, dir.fd, "byfd", HardLinkFlags{});
  ASSERT_TRUE(loop.run(&by_fd.c));
  EXPECT_TRUE(by_fd.getResult().has_value());
  EXPECT_EQ(statAt(dir.fd, "byfd").st_ino, statAt(dir.fd, "f").st_ino);
  ::close(fd);
}

namespace {

// The effective capability set of the calling thread, through the raw
// calls (capabilities are per thread).
bool setEffective(std::uint32_t cap, bool on) {
  __user_cap_header_struct hdr{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2]{};
  if (::syscall(SYS_capget, &hdr, data) != 0) return false;
  if (on) {
    data[cap / 32].effective |= 1u << (cap % 32);
  } else {
    data[cap / 32].effective &= ~(1u << (cap % 32));
  }
  return ::syscall(SYS_capset, &hdr, data) == 0;
}

}  // namespace

TEST(Delegated, FileHardLinkFallsBackToTheProcPathWithoutTheCapability) {
  TempDir dir;
  dir.write("f", "data");
  PooledLoop loop(0);  // inline: the job runs on this thread, whose capabilities we set
  int fd = ::openat(dir.fd, "f", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  // Without CAP_DAC_READ_SEARCH the kernel answers AT_EMPTY_PATH with ENOENT.
  bool dropped = setEffective(CAP_DAC_READ_SEARCH, false);
  if (!dropped || ::linkat(fd, "", dir.fd, "probe", AT_EMPTY_PATH) == 0 || errno != ENOENT) {
    if (dropped) setEffective(CAP_DAC_READ_SEARCH, true);
    ::close(fd);
    GTEST_SKIP() << "AT_EMPTY_PATH is not refused here; the fallback cannot be reached";
  }
  Rec<FileHardLink> link(fd, dir.fd, "viaproc", HardLinkFlags{});
  bool ran = loop.run(&link.c);
  setEffective(CAP_DAC_READ_SEARCH, true);
  ASSERT_TRUE(ran);
  EXPECT_TRUE(link.getResult().has_value()) << errorName(link.getResult().error_or(Error::none));
  EXPECT_EQ(statAt(dir.fd, "viaproc").st_ino, statAt(dir.fd, "f").st_ino);
  ::close(fd);
}

TEST(Delegated, Access) {
  TempDir dir;
  dir.write("f", "x");
  ASSERT_EQ(::symlinkat("missing", dir.fd, "dangling"), 0);
  PooledLoop loop;
  Rec<DirAccess> read(dir.fd, "f", AccessFlags{.read = true, .write = true, .execute = false, .follow_symlinks = true});
  ASSERT_TRUE(loop.run(&read.c));
  EXPECT_TRUE(read.getResult().has_value());
  Rec<DirAccess> missing(dir.fd, "nope", AccessFlags{});
  ASSERT_TRUE(loop.run(&missing.c));
  EXPECT_EQ(missing.getResult().error_or(Error::none), Error::FileNotFound);
  EXPECT_EQ(missing.c.osErrno(), ENOENT);  // a pooled call keeps its number
  // The link itself exists; its target does not.
  Rec<DirAccess> link(dir.fd, "dangling",
                      AccessFlags{.read = false, .write = false, .execute = false, .follow_symlinks = false});
  ASSERT_TRUE(loop.run(&link.c));
  EXPECT_TRUE(link.getResult().has_value());
  link.flags.follow_symlinks = true;
  ASSERT_TRUE(loop.run(&link.c));
  EXPECT_EQ(link.getResult().error_or(Error::none), Error::FileNotFound);
}

namespace {

std::set<std::string> names(const std::byte* buf, std::size_t len) {
  std::set<std::string> out;
  for (std::size_t off = 0; off < len;) {
    auto* d = reinterpret_cast<const dirent64*>(buf + off);
    out.insert(d->d_name);
    off += d->d_reclen;
  }
  return out;
}

}  // namespace

TEST(Delegated, DirReadRestartAndRemovedDirectory) {
  TempDir dir;
  dir.write("a", "");
  dir.write("b", "");
  PooledLoop loop;
  int fd = ::openat(dir.fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  alignas(8) std::byte buf[4096];
  Rec<DirRead> read(fd, std::span<std::byte>{buf}, false);
  ASSERT_TRUE(loop.run(&read.c));
  ASSERT_TRUE(read.getResult().has_value());
  EXPECT_EQ(names(buf, *read.getResult()), (std::set<std::string>{".", "..", "a", "b"}));
  ASSERT_TRUE(loop.run(&read.c));
  EXPECT_EQ(read.getResult().value_or(99), 0u);  // end of the directory
  read.restart = true;
  ASSERT_TRUE(loop.run(&read.c));
  EXPECT_EQ(names(buf, read.getResult().value_or(0)).size(), 4u);
  ::close(fd);

  // A removed directory reads as empty, with the slot written (0), not left
  // at the previous count.
  ASSERT_EQ(::mkdirat(dir.fd, "gone", 0755), 0);
  int gone = ::openat(dir.fd, "gone", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_EQ(::unlinkat(dir.fd, "gone", AT_REMOVEDIR), 0);
  Rec<DirRead> empty(gone, std::span<std::byte>{buf}, false);
  empty.result_private_do_not_touch = 1234;
  ASSERT_TRUE(loop.run(&empty.c));
  EXPECT_EQ(empty.getResult().value_or(99), 0u);
  ::close(gone);
}

TEST(Delegated, RealPaths) {
  TempDir dir;
  dir.write("f", "x");
  ASSERT_EQ(::mkdirat(dir.fd, "sub", 0755), 0);
  PooledLoop loop;
  std::string root = realPath(dir.path);
  char buf[PATH_MAX];

  Rec<DirRealPath> cwd(AT_FDCWD, std::span<char>{buf});
  ASSERT_TRUE(loop.run(&cwd.c));
  ASSERT_TRUE(cwd.getResult().has_value());
  char expect[PATH_MAX];
  ASSERT_NE(::getcwd(expect, sizeof expect), nullptr);
  EXPECT_EQ(std::string(buf, *cwd.getResult()), expect);

  Rec<DirRealPath> of_dir(dir.fd, std::span<char>{buf});
  ASSERT_TRUE(loop.run(&of_dir.c));
  EXPECT_EQ(std::string(buf, of_dir.getResult().value_or(0)), root);

  int fd = ::openat(dir.fd, "f", O_RDONLY | O_CLOEXEC);
  Rec<FileRealPath> of_file(fd, std::span<char>{buf});
  ASSERT_TRUE(loop.run(&of_file.c));
  EXPECT_EQ(std::string(buf, of_file.getResult().value_or(0)), root + "/f");
  ::close(fd);

  Rec<DirRealPathFile> resolved(dir.fd, "sub/../f", std::span<char>{buf});
  ASSERT_TRUE(loop.run(&resolved.c));
  EXPECT_EQ(std::string(buf, resolved.getResult().value_or(0)), root + "/f");

  char small[4];
  Rec<DirRealPathFile> cut(dir.fd, "f", std::span<char>{small});
  ASSERT_TRUE(loop.run(&cut.c));
  EXPECT_EQ(cut.getResult().error_or(Error::none), Error::NameTooLong);
  EXPECT_EQ(cut.c.osErrno(), 0);  // a code the program chose has no number
  Rec<DirRealPathFile> missing(dir.fd, "nope", std::span<char>{buf});
  ASSERT_TRUE(loop.run(&missing.c));
  EXPECT_EQ(missing.getResult().error_or(Error::none), Error::FileNotFound);
  EXPECT_EQ(missing.c.osErrno(), ENOENT);
  Rec<FileRealPath> bad(-1, std::span<char>{buf});
  ASSERT_TRUE(loop.run(&bad.c));
  EXPECT_EQ(bad.getResult().error_or(Error::none), Error::FileNotFound);
}

TEST(Delegated, DeviceIoControlPassesTheResultAndReportsFailures) {
  PooledLoop loop;
  int p[2];
  ASSERT_EQ(::pipe2(p, O_CLOEXEC), 0);
  ASSERT_EQ(::write(p[1], "abc", 3), 3);
  int avail = -1;
  Rec<DeviceIoControl> fionread(p[0], std::uint32_t{FIONREAD}, &avail);
  ASSERT_TRUE(loop.run(&fionread.c));
  EXPECT_EQ(fionread.getResult().value_or(-1), 0);
  EXPECT_EQ(avail, 3);
  Rec<DeviceIoControl> bad(-1, std::uint32_t{FIONREAD}, &avail);
  ASSERT_TRUE(loop.run(&bad.c));
  EXPECT_EQ(bad.getResult().error_or(Error::none), Error::InvalidFileDescriptor);
  ::close(p[0]);
  ::close(p[1]);
}

TEST(Delegated, PathCopiesAreFreedAndANulByteIsRefused) {
  TempDir dir;
  CountingAllocator counting;
  PooledLoop loop(2, counting.handle());
  int base = counting.allocs;
  Rec<DirSymLink> sym(dir.fd, "target", "link", SymLinkFlags{});
  ASSERT_TRUE(loop.run(&sym.c));
  EXPECT_TRUE(sym.getResult().has_value());
  EXPECT_EQ(counting.allocs - base, 2);
  using namespace std::string_view_literals;
  Rec<DirSymLink> evil(dir.fd, "target", "x\0y"sv, SymLinkFlags{});
  ASSERT_TRUE(loop.run(&evil.c));
  EXPECT_EQ(evil.getResult().error_or(Error::none), Error::BadPathName);
  EXPECT_FALSE(dir.exists("x"));
  EXPECT_EQ(counting.live_bytes, 0u);

  counting.fail_at = counting.allocs + 1;
  Rec<DirAccess> nomem(dir.fd, "link", AccessFlags{});
  ASSERT_TRUE(loop.run(&nomem.c));
  EXPECT_EQ(nomem.getResult().error_or(Error::none), Error::SystemResources);
}

TEST(Delegated, CancelledBeforeItsCallStartsLeavesTheFileSystemAlone) {
  TempDir dir;
  PooledLoop loop(1);  // one worker, held by the blocker
  Blocker blocker;
  (*loop).add(&blocker.work.c);
  ASSERT_TRUE(waitFor(blocker.started));

  Rec<DirSymLink> sym(dir.fd, "target", "link", SymLinkFlags{});
  (*loop).add(&sym.c);
  // The same without a token: the pool takes it out of its queue.
  int p[2];
  ASSERT_EQ(::pipe2(p, O_CLOEXEC), 0);
  int avail = -1;
  Rec<DeviceIoControl> ioctl(p[0], std::uint32_t{FIONREAD}, &avail);
  (*loop).add(&ioctl.c);
  (*loop).cancel(&sym.c);
  (*loop).cancel(&ioctl.c);
  blocker.release.store(true);

  ASSERT_TRUE(runUntil(*loop, &sym.c));
  ASSERT_TRUE(runUntil(*loop, &ioctl.c));
  ASSERT_TRUE(runUntil(*loop, &blocker.work.c));
  EXPECT_EQ(sym.getResult().error_or(Error::none), Error::Canceled);
  EXPECT_FALSE(dir.exists("link"));
  EXPECT_EQ(ioctl.getResult().error_or(Error::none), Error::Canceled);
  EXPECT_EQ(avail, -1);
  EXPECT_TRUE((*loop).done());
  ::close(p[0]);
  ::close(p[1]);
}

TEST(Delegated, WithoutAPoolTheOperationFailsWithUnexpected) {
  TempDir dir;
  OpsLoop loop;  // no pool
  Rec<DirSymLink> sym(dir.fd, "target", "link", SymLinkFlags{});
  ASSERT_TRUE(loop.run(&sym.c));
  EXPECT_EQ(sym.getResult().error_or(Error::none), Error::Unexpected);
  EXPECT_FALSE(dir.exists("link"));
  EXPECT_TRUE(loop->done());
}
