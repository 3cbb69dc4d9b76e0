#include "platform/sharing_rule.h"

#include <sys/stat.h>

#include <cstdint>

namespace tevgen {

bool OthersMayWrite(mode_t mode, uid_t owner, std::string_view acl, uid_t me) {
  if ((mode & S_IWOTH) != 0) return true;
  if ((mode & S_IWGRP) == 0) return false;
  if (acl.size() < 4) return true;  // no list: the group may write
  auto field = [&](size_t at, size_t bytes) {
    uint32_t value = 0;
    for (size_t i = 0; i < bytes; ++i)
      value |= uint32_t{static_cast<unsigned char>(acl[at + i])} << (8 * i);
    return value;
  };
  constexpr uint32_t kUser = 0x02, kGroupObj = 0x04, kGroup = 0x08,
                     kMask = 0x10, kWrite = 0x02;
  uint32_t mask = kWrite;
  for (size_t at = 4; at + 8 <= acl.size(); at += 8) {
    if (field(at, 2) == kMask) mask = field(at + 2, 2);
  }
  for (size_t at = 4; at + 8 <= acl.size(); at += 8) {
    uint32_t tag = field(at, 2);
    bool writes = (field(at + 2, 2) & mask & kWrite) != 0;
    uid_t id = static_cast<uid_t>(field(at + 4, 4));
    if (writes && (tag == kGroupObj || tag == kGroup ||
                   (tag == kUser && !IsTrustedUser(id, me) && id != owner))) {
      return true;
    }
  }
  return false;
}

Sharing SharingOf(const Observed& folder, bool others_may_write, uid_t me) {
  if (others_may_write) return Sharing::kMany;
  return IsTrustedUser(folder.owner, me) ? Sharing::kPrivate : Sharing::kOwner;
}

bool WritersCouldRead(Sharing sharing, const Observed& folder,
                      const Observed& file) {
  return (file.mode & S_IROTH) != 0 ||
         (sharing != Sharing::kMany && file.owner == folder.owner);
}

ReadVerdict JudgeRead(Sharing sharing, const Observed& folder,
                      const Observed& file, uid_t me) {
  if (sharing == Sharing::kPrivate) return ReadVerdict::kRead;
  // Only a file of one name of the folder's owner, who is neither root nor
  // the running user, is read as theirs. Root's files are asked about too:
  // a run with a right to read past modes (the service's) would read them.
  bool owners_own =
      file.owner == folder.owner && !IsTrustedUser(file.owner, me);
  bool checked = file.links > 1 || !owners_own;
  if (!checked || WritersCouldRead(sharing, folder, file)) {
    return ReadVerdict::kRead;
  }
  return file.links > 1 ? ReadVerdict::kRefuseHardLink
                        : ReadVerdict::kRefuseUnreadableForWriters;
}

}  // namespace tevgen
