// 4 KiB reads at random offsets of one file with a fixed number in flight,
// on io_uring, no Python: what this machine gives the loop's own file reads
// (micro.py file_pread) at most. One thread, raw system calls; the file is
// read through the page cache like the loop does. After a warm-up it counts
// completed reads for a fixed duration and prints one JSON object:
// {"value": reads/s, "unit": "reads/s", ...}.
//
//   bench_file_native --file PATH [--depth 64] [--block 4096]
//                     [--warmup 0.3] [--duration 1] [--cpu -1]

#include <fcntl.h>
#include <sys/stat.h>

#include <string>
#include <string_view>
#include <vector>

#include "uring.hpp"

namespace {

using bench::die;
using bench::nowNs;

struct Options {
  std::string file;
  unsigned depth = 64;
  unsigned block = 4096;
  double warmup = 0.3;
  double duration = 1.0;
  int cpu = -1;
};

[[noreturn]] void usage(const char* why) {
  std::fprintf(stderr,
               "bench_file_native: %s\nusage: bench_file_native --file PATH [--depth N] [--block BYTES] "
               "[--warmup SEC] [--duration SEC] [--cpu C|-1]\n",
               why);
  std::exit(64);
}

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string_view a = argv[i];
    if (i + 1 >= argc) usage("missing value");
    const char* v = argv[++i];
    if (a == "--file") o.file = v;
    else if (a == "--depth") o.depth = unsigned(std::atoi(v));
    else if (a == "--block") o.block = unsigned(std::atoi(v));
    else if (a == "--warmup") o.warmup = std::atof(v);
    else if (a == "--duration") o.duration = std::atof(v);
    else if (a == "--cpu") o.cpu = std::atoi(v);
    else usage("unknown option");
  }
  if (o.file.empty()) usage("--file is required");
  if (o.depth == 0 || o.depth > 4096 || o.block == 0 || o.duration <= 0 || o.warmup < 0) usage("bad value");
  return o;
}

// xorshift64*: cheap offsets, no shared state with the kernel's randomness.
std::uint64_t nextRandom(std::uint64_t& s) {
  s ^= s >> 12;
  s ^= s << 25;
  s ^= s >> 27;
  return s * 0x2545F4914F6CDD1DULL;
}

}  // namespace

int main(int argc, char** argv) {
  Options o = parse(argc, argv);
  bench::pinTo(o.cpu);
  int fd = open(o.file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) die(o.file.c_str(), errno);
  struct stat st;
  if (fstat(fd, &st) != 0) die("fstat", errno);
  const std::uint64_t blocks = std::uint64_t(st.st_size) / o.block;
  if (blocks == 0) usage("the file is smaller than one block");

  unsigned entries = 1;
  while (entries < o.depth) entries *= 2;
  bench::Ring ring(entries);
  std::vector<unsigned char> bufs(std::size_t(o.depth) * o.block);
  std::uint64_t seed = 0x9E3779B97F4A7C15ULL;

  auto issue = [&](unsigned slot) {
    io_uring_sqe* e = ring.sqe();
    e->opcode = IORING_OP_READ;
    e->fd = fd;
    e->addr = reinterpret_cast<std::uintptr_t>(bufs.data() + std::size_t(slot) * o.block);
    e->len = o.block;
    e->off = (nextRandom(seed) % blocks) * o.block;
    e->user_data = slot;
  };

  const std::uint64_t t0 = nowNs();
  const std::uint64_t measureFrom = t0 + std::uint64_t(o.warmup * 1e9);
  const std::uint64_t measureTo = measureFrom + std::uint64_t(o.duration * 1e9);
  for (unsigned slot = 0; slot < o.depth; ++slot) issue(slot);
  long reads = 0, shortReads = 0;
  bool measuring = false;
  std::uint64_t from = 0, now = t0;
  while (now < measureTo) {
    ring.submit(1, nullptr);
    now = nowNs();
    if (!measuring && now >= measureFrom) {
      measuring = true;
      from = now;
      reads = 0;
    }
    ring.reap([&](const io_uring_cqe& cqe) {
      if (cqe.res < 0) die("read", -cqe.res);
      if (unsigned(cqe.res) != o.block) ++shortReads;
      ++reads;
      issue(unsigned(cqe.user_data));
    });
  }
  const double secs = double(now - from) / 1e9;
  std::printf(
      "{\"value\": %.1f, \"unit\": \"reads/s\", \"reads\": %ld, \"seconds\": %.3f, \"depth\": %u, "
      "\"block\": %u, \"short_reads\": %ld}\n",
      double(reads) / secs, reads, secs, o.depth, o.block, shortReads);
  return shortReads == 0 ? 0 : 1;
}
