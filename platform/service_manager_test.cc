#include "platform/service_manager.h"

#include <gtest/gtest.h>
#include <stddef.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace tevgen {
namespace {

// A service manager's socket: a datagram socket bound to `name` as
// NOTIFY_SOCKET names it ("/path" or "@abstract").
class ManagerSocket {
 public:
  explicit ManagerSocket(const std::string& name)
      : fd_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, name.data(), name.size());
    if (name[0] == '@') address.sun_path[0] = '\0';
    ::bind(
        fd_, reinterpret_cast<const sockaddr*>(&address),
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size()));
  }
  ~ManagerSocket() { ::close(fd_); }
  // What was sent, "" if nothing.
  std::string Received() {
    char buffer[4096];
    ssize_t length = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
    return length > 0 ? std::string(buffer, length) : "";
  }

 private:
  int fd_;
};

TEST(ServiceManagerTest, SpeaksTheNotificationDatagram) {
  std::string file =
      testing::TempDir() + "notify-" + std::to_string(::getpid());
  std::string abstract = "@tevgen-notify-" + std::to_string(::getpid());
  const struct {
    const char* what;
    const char* notify_socket;  // nullptr: not set
    std::string listening;      // where the manager listens
    bool sent;
  } kCases[] = {
      {"a socket file", file.c_str(), file, true},
      {"an abstract socket", abstract.c_str(), abstract, true},
      {"no service manager", nullptr, abstract, false},
      {"a name that is no socket address", "relative", abstract, false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    ::unlink(file.c_str());
    ManagerSocket manager(c.listening);
    if (c.notify_socket) {
      ::setenv("NOTIFY_SOCKET", c.notify_socket, 1);
    } else {
      ::unsetenv("NOTIFY_SOCKET");
    }
    EXPECT_EQ(UnderServiceManager(), c.notify_socket != nullptr);
    EXPECT_EQ(TellServiceManager("READY=1\nSTATUS=x y"), c.sent);
    EXPECT_EQ(manager.Received(), c.sent ? "READY=1\nSTATUS=x y" : "");
  }
  ::unsetenv("NOTIFY_SOCKET");
  ::unlink(file.c_str());
}

}  // namespace
}  // namespace tevgen
