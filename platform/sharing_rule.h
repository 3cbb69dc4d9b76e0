// The rule for a file found in a folder that other users may change, as
// pure decisions on what was observed (owners, modes, the folder's access
// control list), so that each can be tested alone; path_walk.cc observes
// and acts on them.
//
// A folder is shared when anybody beside root and the running user may
// change its entries. Its writers may have moved in any file they can
// rename there, or, where the system lets them (fs.protected_hardlinks=0),
// given any file a name there by a hard link. Such a name stays when the
// file's owner saves it the usual way (a new file renamed over the old
// name): then it is the file's only name, and its link count tells nothing.
// So in a shared folder only a file of one name of the folder's owner
// (when that is neither root nor the running user) is read as theirs; any
// other file is read only when the folder's writers could read it
// themselves. Root's files are asked about too, since a run with a right
// to read past modes (the service's CAP_DAC_OVERRIDE) would read any.
#ifndef TEVGEN_PLATFORM_SHARING_RULE_H_
#define TEVGEN_PLATFORM_SHARING_RULE_H_

#include <sys/types.h>

#include <string_view>

namespace tevgen {

// Whether `user` is root or `me`, the running user, whom the rule trusts.
inline bool IsTrustedUser(uid_t user, uid_t me) {
  return user == 0 || user == me;
}

// Who besides root and the running user may change a folder's entries.
enum class Sharing {
  kPrivate,  // nobody
  kOwner,    // its owner, another user
  kMany,     // its group, others, or users an access control list names
};

// What was observed of a folder or a file.
struct Observed {
  uid_t owner;
  mode_t mode;
  nlink_t links = 1;
};

// Whether users beside the folder's owner, root and `me` may write a folder
// with `mode`, owned by `owner`, whose access control list (the bytes of
// its system.posix_acl_access attribute) is `acl`, empty where it has none.
// With a list, the group bits are its mask, and the list says who writes.
bool OthersMayWrite(mode_t mode, uid_t owner, std::string_view acl, uid_t me);

Sharing SharingOf(const Observed& folder, bool others_may_write, uid_t me);

// Whether every writer of a folder with `sharing` could read `file`: all
// of them where it is readable by all, else only its owner, where the
// owner alone writes (group rights are not counted: the stricter reading).
bool WritersCouldRead(Sharing sharing, const Observed& folder,
                      const Observed& file);

enum class ReadVerdict {
  kRead,
  kRefuseHardLink,              // a name of many, unreadable for writers
  kRefuseUnreadableForWriters,  // one name, unreadable for writers
};

// Whether the run of `me` reads `file`, found in a folder with `sharing`.
ReadVerdict JudgeRead(Sharing sharing, const Observed& folder,
                      const Observed& file, uid_t me);

}  // namespace tevgen

#endif  // TEVGEN_PLATFORM_SHARING_RULE_H_
