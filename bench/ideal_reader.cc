// The ideal parallel reader: the least a program that learns each image's
// two sizes can do on this machine. It lists the folder once, then, on
// THREADS threads (the processors by default), takes the next ".svg" of the
// listing, opens it, fstats it, reads it (4 KiB first, then 64 KiB pieces)
// until the first " width=" and " height=" each have a "." after them, or
// to its end, and closes it. No order, no bookkeeping, nothing written.
//
// With --careful it opens each image the least way that opens nothing
// before judging it, as a folder others may write needs: an O_PATH open,
// its fstat, and only for an ordinary file the open for reading through
// the thread's /proc/thread-self/fd (held), the O_PATH descriptor closed.
//
//   ideal_reader [--careful] DIR [THREADS]
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

constexpr size_t kFirstPiece = 4096;
constexpr size_t kPiece = 65536;

// Whether `text` holds `attribute` followed, somewhere after it, by a ".".
bool Settled(std::string_view text, std::string_view attribute) {
  size_t at = text.find(attribute);
  return at != std::string_view::npos &&
         text.find('.', at + attribute.size()) != std::string_view::npos;
}

constexpr int kReadFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

// Opens `name` the careful way: judged on its O_PATH descriptor, then
// reopened through the thread's held folder of descriptors.
int OpenCarefully(int dir, const char* name, struct stat* st) {
  thread_local int descriptors =
      ::open("/proc/thread-self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  int path_fd = ::openat(dir, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (path_fd < 0) return -1;
  int fd = -1;
  if (::fstat(path_fd, st) == 0 && S_ISREG(st->st_mode)) {
    char number[16];
    std::snprintf(number, sizeof number, "%d", path_fd);
    fd = ::openat(descriptors, number, kReadFlags & ~O_NOFOLLOW);
  }
  ::close(path_fd);
  return fd;
}

// Reads one image; returns the bytes read.
size_t ReadImage(int dir, const char* name, bool careful, std::string* held) {
  struct stat st;
  int fd =
      careful ? OpenCarefully(dir, name, &st) : ::openat(dir, name, kReadFlags);
  if (fd < 0) return 0;
  size_t total = 0;
  if ((careful || ::fstat(fd, &st) == 0) && S_ISREG(st.st_mode)) {
    held->clear();
    size_t piece = kFirstPiece;
    for (;;) {
      size_t old = held->size();
      held->resize(old + piece);
      ssize_t got =
          ::pread(fd, held->data() + old, piece, static_cast<off_t>(total));
      if (got <= 0) break;
      held->resize(old + static_cast<size_t>(got));
      total += static_cast<size_t>(got);
      if (Settled(*held, " width=") && Settled(*held, " height=")) break;
      if (total >= static_cast<size_t>(st.st_size)) break;
      piece = kPiece;
    }
  }
  ::close(fd);
  return total;
}

}  // namespace

int main(int argc, char** argv) {
  bool careful = argc > 1 && std::strcmp(argv[1], "--careful") == 0;
  argv += careful;
  argc -= careful;
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: ideal_reader [--careful] DIR [THREADS]\n");
    return 2;
  }
  unsigned threads = argc == 3 ? static_cast<unsigned>(std::atoi(argv[2]))
                               : std::thread::hardware_concurrency();
  if (threads == 0) threads = 1;
  int dir = ::open(argv[1], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* listing = dir < 0 ? nullptr : ::fdopendir(::dup(dir));
  if (listing == nullptr) return 1;
  std::vector<std::string> names;
  while (const struct dirent* entry = ::readdir(listing)) {
    std::string_view name = entry->d_name;
    if (name.size() > 4 && name.ends_with(".svg")) names.emplace_back(name);
  }
  ::closedir(listing);
  std::atomic<size_t> next{0};
  std::atomic<size_t> bytes{0};
  auto work = [&] {
    std::string held;
    size_t mine = 0;
    for (size_t i;
         (i = next.fetch_add(1, std::memory_order_relaxed)) < names.size();) {
      mine += ReadImage(dir, names[i].c_str(), careful, &held);
    }
    bytes += mine;
  };
  std::vector<std::thread> pool;
  for (unsigned i = 1; i < threads; ++i) pool.emplace_back(work);
  work();
  for (std::thread& thread : pool) thread.join();
  // Printing the total keeps the reads from being optimised away.
  std::printf("%zu\n", bytes.load());
  return 0;
}
