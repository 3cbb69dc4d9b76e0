// What a service manager is told of a long-running program: systemd's
// notification protocol (sd_notify(3)), spoken directly: one datagram of
// "NAME=value" lines to the socket named by $NOTIFY_SOCKET. "READY=1"
// makes a Type=notify unit active; "STATUS=..." is what `systemctl status`
// shows. Without a service manager (a console, Windows) it does nothing.
#ifndef TEVGEN_PLATFORM_SERVICE_MANAGER_H_
#define TEVGEN_PLATFORM_SERVICE_MANAGER_H_

#include <string_view>

namespace tevgen {

// Sends `state` ("READY=1\nSTATUS=...") to the service manager, if any.
// Returns whether it was sent; a manager that does not listen is no error.
bool TellServiceManager(std::string_view state);

// Whether a service manager started the program and listens.
bool UnderServiceManager();

}  // namespace tevgen

#endif  // TEVGEN_PLATFORM_SERVICE_MANAGER_H_
