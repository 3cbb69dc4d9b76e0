// ReopenDescriptor: the file opened is the one the calling thread's
// descriptor holds, whichever thread calls and whatever its table.
#include "platform/careful_open.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "test/test_util.h"

namespace tevgen::posix {
namespace {

// What `fd` reads from its start, up to 64 bytes.
std::string Contents(int fd) {
  char buffer[64];
  ssize_t got = ::pread(fd, buffer, sizeof buffer, 0);
  return got < 0 ? "(unreadable)"
                 : std::string(buffer, static_cast<size_t>(got));
}

// Opens `path` with O_PATH, reopens it for reading and returns what that
// reads ("(not reopened)" when the reopen failed).
std::string ReopenAndRead(const std::string& path) {
  int path_fd = ::open(path.c_str(), O_PATH | O_CLOEXEC);
  if (path_fd < 0) return "(no path descriptor)";
  int fd = ReopenDescriptor(path_fd, O_RDONLY | O_CLOEXEC);
  ::close(path_fd);
  if (fd < 0) return "(not reopened)";
  std::string read = Contents(fd);
  ::close(fd);
  return read;
}

TEST(CarefulOpenTest, ReopensWhatTheCallersOwnDescriptorHolds) {
  testing::TempDir dir;
  const std::string first = (dir.path() / "first").string();
  const std::string second = (dir.path() / "second").string();
  testing::WriteBytes(first, "first");
  testing::WriteBytes(second, "second");
  // The caller reopens first in one thread and second in another, whose
  // held folder of descriptors was opened, or whose table was taken, in
  // the order of the row. A folder of descriptors shared by the threads
  // would give one thread's number in another's table: another file.
  const struct {
    const char* what;
    bool reopen_here_first;   // this thread holds its folder before
    bool reopen_there_first;  // the other thread before it takes a table
    bool own_table;           // the other thread takes a table of its own
  } kRows[] = {
      {"a thread beside one that reopened before", true, false, false},
      {"a thread with a table of its own", true, false, true},
      {"a thread that reopens, then takes its own table", false, true, true},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.what);
    if (row.reopen_here_first) {
      EXPECT_EQ(ReopenAndRead(first), "first");
    }
    std::string seen_before, seen_there, seen_later;
    std::thread([&] {
      if (row.reopen_there_first) seen_before = ReopenAndRead(second);
#if !defined(__SANITIZE_THREAD__)  // see StartThread
      if (row.own_table) {
        ASSERT_EQ(::unshare(CLONE_FILES), 0);
      }
#endif
      seen_there = ReopenAndRead(second);
      // A new number in this thread, which the other table may hold too.
      seen_later = ReopenAndRead(first);
    }).join();
    if (row.reopen_there_first) {
      EXPECT_EQ(seen_before, "second");
    }
    EXPECT_EQ(seen_there, "second");
    EXPECT_EQ(seen_later, "first");
    EXPECT_EQ(ReopenAndRead(second), "second");
  }
}

// With no descriptor left for the held folder, the open fails as a full
// table makes it fail; once there is room again the next open holds it.
TEST(CarefulOpenTest, FullTableFailsTheOpenAndTheNextOneHoldsTheFolder) {
  testing::TempDir dir;
  const std::string file = (dir.path() / "file").string();
  testing::WriteBytes(file, "file");
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // A fresh thread holds no folder yet; its table is the process's.
    int status = 0;
    std::thread([&] {
      int path_fd = ::open(file.c_str(), O_PATH | O_CLOEXEC);
      struct rlimit saved;
      ::getrlimit(RLIMIT_NOFILE, &saved);
      // Room for the reopened file only: none for the held folder first.
      struct rlimit tight = saved;
      tight.rlim_cur = static_cast<rlim_t>(path_fd + 1);
      int spare = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
      for (int fd = 0; fd < path_fd; ++fd) {
        if (::fcntl(fd, F_GETFD) < 0) ::dup2(spare, fd);
      }
      ::setrlimit(RLIMIT_NOFILE, &tight);
      errno = 0;
      int fd = ReopenDescriptor(path_fd, O_RDONLY | O_CLOEXEC);
      if (fd >= 0 || errno != EMFILE) status |= 1;
      ::setrlimit(RLIMIT_NOFILE, &saved);
      // Held now, in the lowest free number, before the file's.
      int lowest = ::dup(0);
      ::close(lowest);
      fd = ReopenDescriptor(path_fd, O_RDONLY | O_CLOEXEC);
      if (fd < 0 || Contents(fd) != "file") status |= 2;
      ::close(fd);
      int after = ::dup(0);
      ::close(after);
      if (after == lowest) status |= 4;
    }).join();
    ::_exit(status);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0)
      << "1: a full table did not fail the open, 2: the open after failed, "
         "4: the folder was not held after";
}

}  // namespace
}  // namespace tevgen::posix
