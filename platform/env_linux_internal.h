// What the rooms of the Linux Env share: a failed call as an Error, a
// descriptor closed on every way out, the path that reopens a descriptor,
// and the flags every path and every read is opened with. Linux only;
// included by the platform's own files, never by the program.
#ifndef TEVGEN_PLATFORM_ENV_LINUX_INTERNAL_H_
#define TEVGEN_PLATFORM_ENV_LINUX_INTERNAL_H_

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <string_view>

#include "platform/env_linux.h"
#include "platform/error.h"

namespace tevgen::posix {

// The one way this Env turns a failed system call into an Error.
inline Error PosixError(std::string path, FileAction action, int error_number) {
  return Error(std::move(path), action, SystemErrorText(error_number));
}

inline constexpr std::string_view kSeparators = "/";

// The path that opens again what the calling thread's descriptor `fd`
// holds. /proc/self/fd holds the main thread's, which a thread with a table
// of its own (StartThread) does not share: that would be another file.
class DescriptorPath {
 public:
  explicit DescriptorPath(int fd) {
    std::snprintf(text_, sizeof text_, "/proc/thread-self/fd/%d", fd);
  }
  const char* c_str() const { return text_; }

 private:
  char text_[40];
};

// Closes a descriptor on every path out of a scope.
class ScopedFd {
 public:
  explicit ScopedFd(int fd) : fd_(fd) {}
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  ~ScopedFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  // Gives the descriptor up to the caller.
  int Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  // Closes now and reports whether the close succeeded.
  bool Close() { return ::close(Release()) == 0; }

 private:
  int fd_;
};

constexpr int kPathFlags = O_PATH | O_NOFOLLOW | O_CLOEXEC;

// Opening a file for reading waits for a lease another process holds on it
// (fcntl F_SETLEASE) until they give it up, or for the system's
// lease-break-time (45 s by default): O_NONBLOCK fails at once instead.
constexpr int kReadFlags = O_RDONLY | O_NONBLOCK | O_CLOEXEC;

// The failure of opening `path` for reading with `error_number`: a lease
// in the program's words.
inline Error OpenError(std::string path, int error_number) {
  if (error_number == EWOULDBLOCK) {
    return Error(std::move(path), FileAction::kOpen,
                 Message(MessageId::kLeased));
  }
  return PosixError(std::move(path), FileAction::kOpen, error_number);
}

}  // namespace tevgen::posix

#endif  // TEVGEN_PLATFORM_ENV_LINUX_INTERNAL_H_
