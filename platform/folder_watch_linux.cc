// FolderWatch on Linux: one inotify watch on the folder. The program's
// stop signals keep their usual handling (env_linux.cc): a signal during a
// run removes the staged file and ends the process, and one between runs
// ends it with nothing staged, so the wait needs no signal of its own.
#include <errno.h>
#include <limits.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

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
  InotifyWatch(int fd, NameFilter wanted) : fd_(fd), wanted_(std::move(wanted)) {}
  ~InotifyWatch() override { ::close(fd_); }

  FolderEvent Wait(std::chrono::milliseconds timeout) override {
    if (gone_) return FolderEvent::kGone;
    pollfd waiting{fd_, POLLIN, 0};
    int ready;
    do {
      ready = ::poll(&waiting, 1, static_cast<int>(timeout.count() < 0
                                                       ? -1
                                                       : timeout.count()));
    } while (ready < 0 && errno == EINTR);
    if (ready <= 0) return FolderEvent::kTimeout;
    return TakeEvents();
  }

 private:
  // Reads every queued event without blocking.
  FolderEvent TakeEvents() {
    FolderEvent result = FolderEvent::kTimeout;
    alignas(inotify_event) char buffer[16 * (sizeof(inotify_event) + NAME_MAX + 1)];
    for (;;) {
      ssize_t length = ::read(fd_, buffer, sizeof buffer);
      if (length < 0 && errno == EINTR) continue;
      if (length <= 0) break;  // EAGAIN: the queue is empty
      for (char* at = buffer; at < buffer + length;) {
        const auto* event = reinterpret_cast<const inotify_event*>(at);
        at += sizeof(inotify_event) + event->len;
        if (event->mask & (kSelfEvents | IN_IGNORED)) {
          gone_ = true;
        } else if (event->mask & IN_Q_OVERFLOW) {
          result = FolderEvent::kOverflow;
        } else if (result == FolderEvent::kTimeout && event->len > 0 &&
                   Wanted(event->name)) {
          result = FolderEvent::kChanged;
        }
      }
    }
    return gone_ ? FolderEvent::kGone : result;
  }

  bool Wanted(std::string_view name) const {
    return !name.starts_with('.') && wanted_(name);
  }

  int fd_;
  NameFilter wanted_;
  bool gone_ = false;
};

}  // namespace

std::unique_ptr<FolderWatch> WatchFolder(const std::string& directory,
                                         NameFilter wanted) {
  int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0) {
    throw Error(directory, FileAction::kWatch, std::strerror(errno));
  }
  if (::inotify_add_watch(fd, directory.c_str(),
                          kEntryEvents | kSelfEvents | IN_ONLYDIR) < 0) {
    int error_number = errno;
    ::close(fd);
    throw Error(directory, FileAction::kWatch, std::strerror(error_number));
  }
  return std::make_unique<InotifyWatch>(fd, std::move(wanted));
}

void ReportFromWatch(std::string_view line) {
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

}  // namespace tevgen
