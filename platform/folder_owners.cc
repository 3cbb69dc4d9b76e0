#include "platform/folder_owners.h"

#include <sys/xattr.h>

#include <string_view>

#include "platform/env_linux_internal.h"

namespace tevgen::posix {

uid_t RunningUser() {
  static const uid_t user = ::geteuid();
  return user;
}

bool IsTrustedUser(uid_t user) {
  return tevgen::IsTrustedUser(user, RunningUser());
}

Observed ObservedOf(const struct stat& st) {
  return {st.st_uid, st.st_mode, st.st_nlink};
}

bool OthersMayWrite(int fd, const struct stat& st) {
  char acl[4 + 8 * 64];
  ssize_t size = 0;
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) == S_IWGRP) {
    size = ::getxattr(DescriptorPath(fd).c_str(), "system.posix_acl_access",
                      acl, sizeof acl);
  }
  return tevgen::OthersMayWrite(
      st.st_mode, st.st_uid, std::string_view(acl, size > 0 ? size_t(size) : 0),
      RunningUser());
}

Sharing FolderSharing(int fd, const struct stat& st) {
  return SharingOf(ObservedOf(st), OthersMayWrite(fd, st), RunningUser());
}

}  // namespace tevgen::posix
