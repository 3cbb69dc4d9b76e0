// Who owns and who may write a folder held open, as the Linux Env reads it:
// the running user, asked once; the owner, mode and link count of a status;
// the folder's access control list. The decisions are sharing_rule's and
// walk_policy's; this file only gathers what they are decided on. Linux
// only.
#ifndef TEVGEN_PLATFORM_FOLDER_OWNERS_H_
#define TEVGEN_PLATFORM_FOLDER_OWNERS_H_

#include <sys/stat.h>
#include <sys/types.h>

#include "platform/sharing_rule.h"

namespace tevgen::posix {

// The program never changes who it runs as: asked once, not at every name
// of every walk.
uid_t RunningUser();

// Whether `user` is root or the running user.
bool IsTrustedUser(uid_t user);

Observed ObservedOf(const struct stat& st);

// Whether users beside the owner, root and the running user may write the
// folder `fd` (O_PATH) with status `st`, by its access control list too.
bool OthersMayWrite(int fd, const struct stat& st);

Sharing FolderSharing(int fd, const struct stat& st);

}  // namespace tevgen::posix

#endif  // TEVGEN_PLATFORM_FOLDER_OWNERS_H_
