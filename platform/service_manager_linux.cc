#include <stddef.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/service_manager.h"

namespace tevgen {

bool UnderServiceManager() { return std::getenv("NOTIFY_SOCKET") != nullptr; }

bool TellServiceManager(std::string_view state) {
  const char* name = std::getenv("NOTIFY_SOCKET");
  if (name == nullptr) return false;
  std::string path = name;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  // "/run/...": a file; "@...": the abstract namespace (a leading 0 byte).
  if (path.empty() || (path[0] != '/' && path[0] != '@') ||
      path.size() >= sizeof address.sun_path) {
    return false;
  }
  std::memcpy(address.sun_path, path.data(), path.size());
  if (path[0] == '@') address.sun_path[0] = '\0';
  socklen_t length =
      static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size());
  int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  bool sent = ::sendto(fd, state.data(), state.size(), MSG_NOSIGNAL,
                       reinterpret_cast<const sockaddr*>(&address),
                       length) == static_cast<ssize_t>(state.size());
  ::close(fd);
  return sent;
}

}  // namespace tevgen
