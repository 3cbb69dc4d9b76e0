// What the four system calls a warm image costs (open, fstat, a read of the
// first 4 KB, close) would cost done other ways, in CPU time: the numbers
// behind doc/performance.md's "io_uring and O_NOATIME". One thread, every
// ".svg" of a folder, in listing order; run each way several times.
//
//   open_probe plain|noatime|uring|uring-statx|careful|careful-walk DIR
//
// plain: the four calls, as tevgen's direct open makes them. noatime: the
// same with O_NOATIME. uring: the opens of 64 images in one io_uring batch,
// an fstat call each, then their reads and closes in a second batch, each
// close hard-linked after its read (a short read breaks a plain link, and
// the close would be cancelled). uring-statx: as uring, with the fstat a
// STATX linked before the read. careful: the open of a folder others may
// write: O_PATH, fstat, the reopen by the descriptor's number in the held
// /proc/thread-self/fd, the O_PATH descriptor closed, then read and close
// as plain; careful-walk: the same, the reopen walking
// "/proc/thread-self/fd/N" (the way before).
// Raw system calls, no library; Linux 5.15 or later with io_uring enabled.
#include <dirent.h>
#include <fcntl.h>
#include <linux/io_uring.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr unsigned kBatch = 64;
constexpr size_t kHead = 4096;
constexpr int kOpenFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

class Ring {
 public:
  bool Set() {
    io_uring_params params{};
    fd_ = static_cast<int>(::syscall(__NR_io_uring_setup, 4 * kBatch, &params));
    if (fd_ < 0) return false;
    size_t sq_size = params.sq_off.array + params.sq_entries * sizeof(unsigned);
    size_t cq_size =
        params.cq_off.cqes + params.cq_entries * sizeof(io_uring_cqe);
    // IORING_FEAT_SINGLE_MMAP (5.4): both rings in one mapping.
    auto* rings = static_cast<char*>(
        ::mmap(nullptr, std::max(sq_size, cq_size), PROT_READ | PROT_WRITE,
               MAP_SHARED | MAP_POPULATE, fd_, IORING_OFF_SQ_RING));
    sqes_ = static_cast<io_uring_sqe*>(
        ::mmap(nullptr, params.sq_entries * sizeof(io_uring_sqe),
               PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd_,
               IORING_OFF_SQES));
    if (rings == MAP_FAILED || sqes_ == MAP_FAILED) return false;
    sq_tail_ = reinterpret_cast<unsigned*>(rings + params.sq_off.tail);
    sq_mask_ = *reinterpret_cast<unsigned*>(rings + params.sq_off.ring_mask);
    sq_array_ = reinterpret_cast<unsigned*>(rings + params.sq_off.array);
    cq_head_ = reinterpret_cast<unsigned*>(rings + params.cq_off.head);
    cq_tail_ = reinterpret_cast<unsigned*>(rings + params.cq_off.tail);
    cq_mask_ = *reinterpret_cast<unsigned*>(rings + params.cq_off.ring_mask);
    cqes_ = reinterpret_cast<io_uring_cqe*>(rings + params.cq_off.cqes);
    return true;
  }

  io_uring_sqe* Next() {
    unsigned tail = *sq_tail_;
    unsigned slot = tail & sq_mask_;
    sq_array_[slot] = slot;
    io_uring_sqe* sqe = &sqes_[slot];
    std::memset(sqe, 0, sizeof *sqe);
    __atomic_store_n(sq_tail_, tail + 1, __ATOMIC_RELEASE);
    ++queued_;
    return sqe;
  }

  // Submits what was queued, waits for all of it and stores each result by
  // its user_data (below `results.size()`).
  bool Run(std::vector<long>& results) {
    unsigned want = queued_;
    queued_ = 0;
    unsigned got = 0;
    unsigned submit = want;
    while (got < want) {
      if (::syscall(__NR_io_uring_enter, fd_, submit, want - got,
                    IORING_ENTER_GETEVENTS, nullptr, 0) < 0) {
        return false;
      }
      submit = 0;
      unsigned head = *cq_head_;
      unsigned tail = __atomic_load_n(cq_tail_, __ATOMIC_ACQUIRE);
      for (; head != tail; ++head, ++got) {
        const io_uring_cqe& cqe = cqes_[head & cq_mask_];
        if (cqe.user_data < results.size()) results[cqe.user_data] = cqe.res;
      }
      __atomic_store_n(cq_head_, head, __ATOMIC_RELEASE);
    }
    return true;
  }

 private:
  int fd_ = -1;
  io_uring_sqe* sqes_ = nullptr;
  io_uring_cqe* cqes_ = nullptr;
  unsigned* sq_tail_ = nullptr;
  unsigned* sq_array_ = nullptr;
  unsigned* cq_head_ = nullptr;
  unsigned* cq_tail_ = nullptr;
  unsigned sq_mask_ = 0;
  unsigned cq_mask_ = 0;
  unsigned queued_ = 0;
};

double Milliseconds(const timeval& t) {
  return static_cast<double>(t.tv_sec) * 1e3 +
         static_cast<double>(t.tv_usec) / 1e3;
}

}  // namespace

int main(int argc, char** argv) {
  std::string_view way = argc == 3 ? argv[1] : "";
  if (way != "plain" && way != "noatime" && way != "uring" &&
      way != "uring-statx" && way != "careful" && way != "careful-walk") {
    std::fprintf(stderr,
                 "usage: open_probe "
                 "plain|noatime|uring|uring-statx|careful|careful-walk DIR\n");
    return 2;
  }
  int descriptors = ::open("/proc/thread-self/fd", O_RDONLY | O_DIRECTORY);
  DIR* dir = ::opendir(argv[2]);
  if (dir == nullptr) return 1;
  int dir_fd = ::dirfd(dir);
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(dir)) {
    std::string_view name = entry->d_name;
    if (name.size() > 4 && name.ends_with(".svg")) names.emplace_back(name);
  }
  bool uring = way.starts_with("uring");
  bool statx_batched = way == "uring-statx";
  Ring ring;
  if (uring && !ring.Set()) {
    std::perror("io_uring_setup");
    return 1;
  }
  static char heads[kBatch][kHead];
  static struct statx statxes[kBatch];
  size_t bytes = 0;
  auto started = std::chrono::steady_clock::now();
  std::vector<long> fds(kBatch);
  std::vector<long> reads(kBatch);
  for (size_t first = 0; first < names.size(); first += kBatch) {
    size_t count = std::min<size_t>(kBatch, names.size() - first);
    if (!uring) {
      int flags = kOpenFlags | (way == "noatime" ? O_NOATIME : 0);
      for (size_t i = 0; i < count; ++i) {
        int fd;
        if (way.starts_with("careful")) {
          int path_fd = ::openat(dir_fd, names[first + i].c_str(),
                                 O_PATH | O_NOFOLLOW | O_CLOEXEC);
          struct stat judged;
          if (path_fd < 0 || ::fstat(path_fd, &judged) != 0) return 1;
          char name[48];
          if (way == "careful") {
            std::snprintf(name, sizeof name, "%d", path_fd);
            fd = ::openat(descriptors, name, kOpenFlags & ~O_NOFOLLOW);
          } else {
            std::snprintf(name, sizeof name, "/proc/thread-self/fd/%d",
                          path_fd);
            fd = ::open(name, kOpenFlags & ~O_NOFOLLOW);
          }
          ::close(path_fd);
        } else {
          fd = ::openat(dir_fd, names[first + i].c_str(), flags);
        }
        // The careful way decides on the O_PATH descriptor's status.
        struct stat st;
        if (fd < 0 || (!way.starts_with("careful") && ::fstat(fd, &st) != 0)) {
          return 1;
        }
        ssize_t got = ::pread(fd, heads[i], kHead, 0);
        if (got > 0) bytes += static_cast<size_t>(got);
        ::close(fd);
      }
      continue;
    }
    for (size_t i = 0; i < count; ++i) {
      io_uring_sqe* open = ring.Next();
      open->opcode = IORING_OP_OPENAT;
      open->fd = dir_fd;
      open->addr = reinterpret_cast<uintptr_t>(names[first + i].c_str());
      open->open_flags = kOpenFlags;
      open->user_data = i;
    }
    if (!ring.Run(fds)) return 1;
    for (size_t i = 0; i < count; ++i) {
      if (fds[i] < 0) {
        std::fprintf(stderr, "%s: %s\n", names[first + i].c_str(),
                     std::strerror(static_cast<int>(-fds[i])));
        return 1;
      }
      int fd = static_cast<int>(fds[i]);
      if (statx_batched) {
        io_uring_sqe* stat = ring.Next();
        stat->opcode = IORING_OP_STATX;
        stat->fd = fd;
        stat->addr = reinterpret_cast<uintptr_t>("");
        stat->statx_flags = AT_EMPTY_PATH;
        stat->len = STATX_BASIC_STATS;
        stat->off = reinterpret_cast<uintptr_t>(&statxes[i]);
        stat->user_data = kBatch;
        stat->flags = IOSQE_IO_HARDLINK;
      } else {
        struct stat st;
        if (::fstat(fd, &st) != 0) return 1;
      }
      io_uring_sqe* read = ring.Next();
      read->opcode = IORING_OP_READ;
      read->fd = fd;
      read->addr = reinterpret_cast<uintptr_t>(heads[i]);
      read->len = kHead;
      read->user_data = i;
      read->flags = IOSQE_IO_HARDLINK;
      io_uring_sqe* close = ring.Next();
      close->opcode = IORING_OP_CLOSE;
      close->fd = fd;
      close->user_data = kBatch;
    }
    if (!ring.Run(reads)) return 1;
    for (size_t i = 0; i < count; ++i) {
      if (reads[i] > 0) bytes += static_cast<size_t>(reads[i]);
    }
  }
  std::chrono::duration<double, std::milli> wall =
      std::chrono::steady_clock::now() - started;
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  std::printf(
      "%-11s %zu images, %zu bytes: %.1f ms, CPU %.1f ms (%.2f us an "
      "image)\n",
      std::string(way).c_str(), names.size(), bytes, wall.count(),
      Milliseconds(usage.ru_utime) + Milliseconds(usage.ru_stime),
      (Milliseconds(usage.ru_utime) + Milliseconds(usage.ru_stime)) * 1e3 /
          static_cast<double>(names.size()));
  ::closedir(dir);
  return 0;
}
