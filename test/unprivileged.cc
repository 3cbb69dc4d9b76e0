#include "test/unprivileged.h"

#include <grp.h>
#include <unistd.h>

namespace tevgen::testing {

bool DropPrivileges() {
  if (::geteuid() != 0) return true;
  return ::setgroups(0, nullptr) == 0 && ::setgid(kNobody) == 0 &&
         ::setuid(kNobody) == 0;
}

void OpenToEveryone(const std::filesystem::path& folder) {
  std::filesystem::permissions(folder, std::filesystem::perms::all);
}

}  // namespace tevgen::testing
