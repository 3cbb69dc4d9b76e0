#include "platform/careful_open.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>

#include "platform/env_linux_internal.h"

namespace tevgen::posix {
namespace {

// The calling thread's /proc/thread-self/fd, held open; -1 where it could
// not be opened, tried again at the next open.
class ThreadDescriptors {
 public:
  ThreadDescriptors() = default;
  ThreadDescriptors(const ThreadDescriptors&) = delete;
  ThreadDescriptors& operator=(const ThreadDescriptors&) = delete;
  ~ThreadDescriptors() {
    if (fd_ >= 0) ::close(fd_);
  }

  int Get() {
    if (fd_ < 0) {
      fd_ = ::open("/proc/thread-self/fd",
                   O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    }
    return fd_;
  }

 private:
  int fd_ = -1;
};

}  // namespace

int ReopenDescriptor(int path_fd, int flags) {
  thread_local ThreadDescriptors descriptors;
  int folder = descriptors.Get();
  if (folder < 0) return ::open(DescriptorPath(path_fd).c_str(), flags);
  char name[16];
  *std::to_chars(name, name + sizeof name - 1, path_fd).ptr = '\0';
  // The descriptor's entry is a magic link to the file itself: following
  // it is the point, the one name is in a folder of procfs's own.
  return ::openat(folder, name, flags);
}

}  // namespace tevgen::posix
