// FolderWatch on Linux: inotify on the folder, on the folder above it and
// on every folder (and link) on the path's way to it. The program's stop
// signals keep their usual handling (staged_file.cc): a signal during a run
// removes the staged file and ends the process, and one between runs ends
// it with nothing staged, so the wait needs no signal of its own.
//
// The path is walked one name at a time from an open folder, as the runs
// walk it, so that a path longer than PATH_MAX is watched as it is read.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <utility>

#include "platform/env_linux.h"
#include "platform/error.h"
#include "platform/folder_watch.h"

namespace tevgen {
namespace {

// The entry events: what adds, changes or removes a listed file. IN_MODIFY
// is left out on purpose: a file being written is caught once, when it is
// closed, not at every write.
constexpr uint32_t kEntryEvents = IN_CREATE | IN_CLOSE_WRITE | IN_DELETE |
                                  IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB;
constexpr uint32_t kSelfEvents = IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT;
constexpr int kPathFlags = O_PATH | O_CLOEXEC;

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(other.Release()) {}
  Fd& operator=(Fd&& other) noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.Release();
    return *this;
  }
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  int Release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

std::string DescriptorPath(int fd) {
  return "/proc/self/fd/" + std::to_string(fd);
}

// Walks `path` one name at a time, following links as the kernel does, and
// calls `on_way(fd)` for every folder and link met on the way (the folder
// itself not included). Returns the folder, or -1 with errno; `reached`,
// if given, gets the deepest folder that exists.
template <typename OnWay>
Fd WalkTo(const std::string& path, OnWay on_way, Fd* reached = nullptr) {
  Fd at(::open(path.starts_with('/') ? "/" : ".", kPathFlags | O_DIRECTORY));
  size_t begin = 0;
  while (at.get() >= 0) {
    size_t end = path.find('/', begin);
    std::string name = path.substr(begin, end - begin);
    begin = end == std::string::npos ? end : end + 1;
    if (!name.empty() && name != ".") {
      bool last = path.find_first_not_of('/', begin) == std::string::npos;
      Fd link(::openat(at.get(), name.c_str(), kPathFlags | O_NOFOLLOW));
      Fd next(::openat(at.get(), name.c_str(), kPathFlags | O_DIRECTORY));
      if (next.get() < 0) {
        int error_number = errno;
        if (reached != nullptr) *reached = std::move(at);
        errno = error_number;
        return Fd();
      }
      if (!last && link.get() >= 0) on_way(link.get());
      if (!last) on_way(next.get());
      at = std::move(next);
    }
    if (begin == std::string::npos) return at;
  }
  return Fd();
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

class InotifyWatch : public FolderWatch {
 public:
  InotifyWatch(std::string path, int fd, Fd folder, NameFilter wanted)
      : path_(std::move(path)),
        fd_(fd),
        folder_(std::move(folder)),
        wanted_(std::move(wanted)) {}

  FolderEvent Wait(std::chrono::milliseconds timeout) override {
    using Clock = std::chrono::steady_clock;
    Clock::time_point deadline = Clock::now() + timeout;
    if (!failed_ && !gone_) CheckStillNamed();
    for (;;) {
      FolderEvent event = TakeEvents();
      if (event != FolderEvent::kTimeout) return event;
      int left = -1;
      if (timeout.count() >= 0) {
        auto rest = std::chrono::ceil<std::chrono::milliseconds>(deadline -
                                                                 Clock::now());
        if (rest.count() <= 0) return FolderEvent::kTimeout;
        left = static_cast<int>(rest.count());
      }
      pollfd waiting{fd_.get(), POLLIN, 0};
      if (::poll(&waiting, 1, left) < 0 && errno != EINTR) {
        Fail(errno);
      }
    }
  }

  Message FailureCause() const override {
    return Message(MessageId::kUnworded, {{"what", cause_}});
  }

  void IgnoreFileOf(const std::string& name) override {
    ignored_name_ = name;
    ignored_ = StatOf(name, 0);
  }

  int fd() const { return fd_.get(); }
  int folder() const { return folder_.get(); }
  int folder_watch_ = -1;

 private:
  void Fail(int error_number) {
    failed_ = true;
    cause_ = std::strerror(error_number);
  }

  // Takes every queued event without blocking.
  FolderEvent TakeEvents() {
    FolderEvent result = FolderEvent::kTimeout;
    alignas(
        inotify_event) char buffer[16 * (sizeof(inotify_event) + NAME_MAX + 1)];
    ssize_t length;
    while (!gone_ && !failed_) {
      length = ::read(fd_.get(), buffer, sizeof buffer);
      if (length < 0 && errno == EINTR) continue;
      if (length < 0 && errno != EAGAIN) Fail(errno);
      if (length <= 0) break;
      for (char* at = buffer; at < buffer + length;) {
        const auto* event = reinterpret_cast<const inotify_event*>(at);
        at += sizeof(inotify_event) + event->len;
        if (event->mask & IN_Q_OVERFLOW) {
          result = FolderEvent::kOverflow;
        } else if (event->wd != folder_watch_) {
          // A folder or link on the way renamed or removed: the path may
          // name another folder now. A folder beside ours removed: ours, if
          // it has no link left.
          if (event->mask & kSelfEvents) gone_ = true;
          if ((event->mask & IN_DELETE) && (event->mask & IN_ISDIR)) {
            CheckStillThere();
          }
        } else if (event->mask & (kSelfEvents | IN_IGNORED)) {
          gone_ = true;
        } else if (result == FolderEvent::kTimeout && event->len > 0 &&
                   Wanted(event->name)) {
          result = FolderEvent::kChanged;
        }
      }
    }
    if (failed_) return FolderEvent::kFailed;
    return gone_ ? FolderEvent::kGone : result;
  }

  // The folder's own removal is reported by IN_DELETE_SELF only once
  // nothing holds it any more, and the program's own file, running from
  // the folder, holds it: so the folder's link count tells.
  void CheckStillThere() {
    struct stat st;
    if (::fstat(folder_.get(), &st) == 0 && st.st_nlink == 0) gone_ = true;
  }

  // Whether the path still leads to the folder watched: a link on the way
  // may have been changed without any folder moving.
  void CheckStillNamed() {
    Fd now = WalkTo(path_, [](int) {});
    struct stat was, is;
    if (now.get() < 0) {
      if (errno == ENOENT || errno == ENOTDIR || errno == ELOOP) gone_ = true;
    } else if (::fstat(folder_.get(), &was) == 0 &&
               ::fstat(now.get(), &is) == 0 && !SameFile(was, is)) {
      gone_ = true;
    }
  }

  std::optional<struct stat> StatOf(const std::string& name, int flags) {
    struct stat st;
    if (::fstatat(folder_.get(), name.c_str(), &st, flags) != 0) return {};
    return st;
  }

  // A name holding the ignored file is left out while the ignored name
  // still leads to it (once it does not, the file is an image again).
  bool Wanted(std::string_view name) {
    if (name.starts_with('.') || !wanted_(name)) return false;
    if (!ignored_) return true;
    auto named = StatOf(std::string(name), AT_SYMLINK_NOFOLLOW);
    auto ignored = StatOf(ignored_name_, 0);
    return !(named && ignored && SameFile(*named, *ignored_) &&
             SameFile(*ignored, *ignored_));
  }

  std::string path_;
  Fd fd_;
  Fd folder_;
  NameFilter wanted_;
  std::string ignored_name_;
  std::optional<struct stat> ignored_;
  bool gone_ = false;
  bool failed_ = false;
  std::string cause_;
};

}  // namespace

std::unique_ptr<FolderWatch> WatchFolder(const std::string& directory,
                                         NameFilter wanted) {
  auto fail = [&](int error_number) {
    return Error(directory, FileAction::kWatch, SystemErrorText(error_number));
  };
  Fd fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (fd.get() < 0) throw fail(errno);
  // What is on the way: its renaming or removal ends the watch. A name
  // that cannot be watched (the system's limit reached) is still checked
  // before every run.
  auto on_way = [&fd](int way) {
    ::inotify_add_watch(fd.get(), DescriptorPath(way).c_str(),
                        IN_MOVE_SELF | IN_DELETE_SELF | IN_MASK_ADD);
  };
  Fd folder = WalkTo(directory, on_way);
  if (folder.get() < 0) {
    if (errno == ENOENT) return nullptr;
    throw fail(errno);
  }
  auto watch = std::make_unique<InotifyWatch>(
      directory, fd.Release(), std::move(folder), std::move(wanted));
  // The folder itself, through the descriptor, so that both are the same.
  std::string self = DescriptorPath(watch->folder());
  constexpr uint32_t kMask = kEntryEvents | kSelfEvents | IN_ONLYDIR;
  watch->folder_watch_ = ::inotify_add_watch(watch->fd(), self.c_str(), kMask);
  if (watch->folder_watch_ < 0) throw fail(errno);
  // The folder above, where the folder's removal is told at once. Where it
  // cannot be watched, the removal is seen once nothing holds the folder.
  // IN_MASK_ADD: never narrow a watch already there (at the root, the
  // folder above is the folder).
  ::inotify_add_watch(watch->fd(), (self + "/..").c_str(),
                      IN_DELETE | IN_ONLYDIR | IN_MASK_ADD);
  return watch;
}

void WaitForFolder(const std::string& directory) {
  auto fail = [&](int error_number) {
    return Error(directory, FileAction::kWatch, std::strerror(error_number));
  };
  Fd fd(::inotify_init1(IN_CLOEXEC));
  if (fd.get() < 0) throw fail(errno);
  Fd reached;
  Fd folder = WalkTo(
      directory, [](int) {}, &reached);
  if (folder.get() >= 0) return;
  // Not even the start of the path: nothing to wait on, and waiting again
  // would never end.
  if (reached.get() < 0) throw fail(errno);
  if (::inotify_add_watch(fd.get(), DescriptorPath(reached.get()).c_str(),
                          IN_CREATE | IN_MOVED_TO | kSelfEvents) < 0) {
    throw fail(errno);
  }
  // Made between the walk and the watch: no event would tell.
  if (WalkTo(directory, [](int) {}).get() >= 0) return;
  alignas(inotify_event) char buffer[sizeof(inotify_event) + NAME_MAX + 1];
  while (::read(fd.get(), buffer, sizeof buffer) <= 0) {
    if (errno != EINTR) throw fail(errno);
  }
}

bool OnReadOnlyMount(const std::string& directory) {
  Fd folder = WalkTo(directory, [](int) {});
  struct statvfs st;
  return folder.get() >= 0 && ::fstatvfs(folder.get(), &st) == 0 &&
         (st.f_flag & ST_RDONLY);
}

// A line under systemd goes to the journal at error priority: the
// journal reads a leading "<3>" on its stream as that (sd-daemon(3)).
// $JOURNAL_STREAM names the stream, so a redirected stderr is left alone.
void ReportFromWatch(std::string_view line) {
  const char* journal = std::getenv("JOURNAL_STREAM");
  struct stat st;
  if (journal != nullptr && ::fstat(STDERR_FILENO, &st) == 0 &&
      std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) == journal) {
    std::fputs("<3>", stderr);
  }
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

}  // namespace tevgen
