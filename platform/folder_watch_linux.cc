// FolderWatch on Linux: one inotify watch on the folder. The program's
// stop signals keep their usual handling (env_linux.cc): a signal during a
// run removes the staged file and ends the process, and one between runs
// ends it with nothing staged, so the wait needs no signal of its own.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

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

class InotifyWatch : public FolderWatch {
 public:
  InotifyWatch(int fd, int folder_fd, NameFilter wanted)
      : fd_(fd), folder_fd_(folder_fd), wanted_(std::move(wanted)) {}
  ~InotifyWatch() override {
    ::close(fd_);
    ::close(folder_fd_);
  }

  FolderEvent Wait(std::chrono::milliseconds timeout) override {
    using Clock = std::chrono::steady_clock;
    Clock::time_point deadline = Clock::now() + timeout;
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
      pollfd waiting{fd_, POLLIN, 0};
      if (::poll(&waiting, 1, left) < 0 && errno != EINTR) {
        return FolderEvent::kTimeout;
      }
    }
  }

  int folder_watch_ = -1;
  int parent_watch_ = -1;

 private:
  // Takes every queued event without blocking.
  FolderEvent TakeEvents() {
    FolderEvent result = FolderEvent::kTimeout;
    alignas(
        inotify_event) char buffer[16 * (sizeof(inotify_event) + NAME_MAX + 1)];
    ssize_t length;
    while (!gone_ && ((length = ::read(fd_, buffer, sizeof buffer)) > 0 ||
                      (length < 0 && errno == EINTR))) {
      for (char* at = buffer; at < buffer + length;) {
        const auto* event = reinterpret_cast<const inotify_event*>(at);
        at += sizeof(inotify_event) + event->len;
        if (event->mask & IN_Q_OVERFLOW) {
          result = FolderEvent::kOverflow;
        } else if (event->wd == parent_watch_) {
          // A folder beside ours removed: ours, if it has no link left.
          if (event->mask & IN_ISDIR) CheckStillThere();
        } else if (event->mask & (kSelfEvents | IN_IGNORED)) {
          gone_ = true;
        } else if (result == FolderEvent::kTimeout && event->len > 0 &&
                   Wanted(event->name)) {
          result = FolderEvent::kChanged;
        }
      }
    }
    return gone_ ? FolderEvent::kGone : result;
  }

  // The folder's own removal is reported by IN_DELETE_SELF only once
  // nothing holds it any more, and the program's own file, running from
  // the folder, holds it: so the folder's link count tells.
  void CheckStillThere() {
    struct stat st;
    if (::fstat(folder_fd_, &st) == 0 && st.st_nlink == 0) gone_ = true;
  }

  bool Wanted(std::string_view name) const {
    return !name.starts_with('.') && wanted_(name);
  }

  int fd_;
  int folder_fd_;
  NameFilter wanted_;
  bool gone_ = false;
};

}  // namespace

std::unique_ptr<FolderWatch> WatchFolder(const std::string& directory,
                                         NameFilter wanted) {
  auto fail = [&](int error_number) {
    return Error(directory, FileAction::kWatch, SystemErrorText(error_number));
  };
  int folder_fd = ::open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (folder_fd < 0) throw fail(errno);
  int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0) {
    int error_number = errno;
    ::close(folder_fd);
    throw fail(error_number);
  }
  auto watch = std::make_unique<InotifyWatch>(fd, folder_fd, std::move(wanted));
  // The folder itself, through the descriptor, so that both are the same.
  std::string self = "/proc/self/fd/" + std::to_string(folder_fd);
  constexpr uint32_t kMask = kEntryEvents | kSelfEvents | IN_ONLYDIR;
  watch->folder_watch_ = ::inotify_add_watch(fd, self.c_str(), kMask);
  if (watch->folder_watch_ < 0) {
    watch->folder_watch_ = ::inotify_add_watch(fd, directory.c_str(), kMask);
  }
  if (watch->folder_watch_ < 0) throw fail(errno);
  // The folder above, where the folder's removal is told at once. Where it
  // cannot be watched, the removal is seen once nothing holds the folder.
  // IN_MASK_CREATE: never change the folder's own watch (at the root, the
  // folder above is the folder).
  watch->parent_watch_ = ::inotify_add_watch(
      fd, (self + "/..").c_str(), IN_DELETE | IN_ONLYDIR | IN_MASK_CREATE);
  return watch;
}

void ReportFromWatch(std::string_view line) {
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

}  // namespace tevgen
