// POSIX tests of permissions must not run as root, who may read and write
// everything: these helpers drop to the "nobody" user in a child process.
#ifndef TEVGEN_TEST_UNPRIVILEGED_H_
#define TEVGEN_TEST_UNPRIVILEGED_H_

#include <sys/types.h>

#include <filesystem>

namespace tevgen::testing {

inline constexpr uid_t kNobody = 65534;

// In a child process: becomes "nobody" when running as root (otherwise the
// process is unprivileged already). Returns false when that fails.
bool DropPrivileges();

// Lets every user create and remove files in `folder`.
void OpenToEveryone(const std::filesystem::path& folder);

}  // namespace tevgen::testing

#endif  // TEVGEN_TEST_UNPRIVILEGED_H_
