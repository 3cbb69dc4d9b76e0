#include "platform/walk_policy.h"

#include <sys/stat.h>

#include <string>

namespace tevgen {
namespace {

// What a link or a path reached, as refusals name it.
enum class Kind { kFile, kFolder };

Message LinkRefusal(uid_t link_owner, uid_t target_owner, Kind kind) {
  return Message(
      kind == Kind::kFile ? MessageId::kLinkToFile : MessageId::kLinkToFolder,
      {{"link_owner", std::to_string(link_owner)},
       {"owner", std::to_string(target_owner)}});
}

Message FolderRefusal(uid_t folder_owner, uid_t inner_owner) {
  return Message(MessageId::kFolderOfOtherUser,
                 {{"owner", std::to_string(inner_owner)},
                  {"folder_owner", std::to_string(folder_owner)}});
}

Message SharedLinkRefusal(Kind kind, uid_t target_owner) {
  return Message(kind == Kind::kFile ? MessageId::kSharedLinkToFile
                                     : MessageId::kSharedLinkToFolder,
                 {{"owner", std::to_string(target_owner)}});
}

}  // namespace

void BindName(const FolderOnWay& folder, bool past_link, WayBinding* way) {
  if (past_link && folder.sharing == Sharing::kMany &&
      (folder.st.mode & S_ISVTX) == 0) {
    way->others_bound = true;
  }
}

void BindLink(const FolderOnWay& folder, uid_t link_owner, uid_t me,
              WayBinding* way) {
  if (!IsTrustedUser(link_owner, me)) way->link_owners.push_back(link_owner);
  bool owner_only =
      (folder.st.mode & S_ISVTX) != 0 && IsTrustedUser(folder.st.owner, me);
  if (folder.sharing == Sharing::kMany && !owner_only) {
    way->others_bound = true;
  } else if (folder.sharing == Sharing::kOwner &&
             link_owner != folder.st.owner) {
    way->link_owners.push_back(folder.st.owner);
  }
}

std::optional<Message> JudgeBoundMay(const WayBinding& way, const Observed& st,
                                     Access access) {
  const mode_t own = access == Access::kRead ? S_IRUSR : S_IXUSR;
  const mode_t others = access == Access::kRead ? S_IROTH : S_IXOTH;
  const Kind kind = access == Access::kRead ? Kind::kFile : Kind::kFolder;
  if (way.others_bound && (st.mode & others) == 0) {
    return SharedLinkRefusal(kind, st.owner);
  }
  for (uid_t user : way.link_owners) {
    if ((st.mode & (st.owner == user ? own : others)) == 0) {
      return LinkRefusal(user, st.owner, kind);
    }
  }
  return std::nullopt;
}

std::optional<Message> JudgeEntry(const WayBinding& way, const Observed& folder,
                                  const Observed& entry, bool parent, bool last,
                                  uid_t me) {
  if (!S_ISDIR(entry.mode)) return std::nullopt;
  // Whoever owns a folder may put any folder there, by a rename too (a
  // folder of root's they were given, say), and so choose what root's links
  // inside lead to.
  if (!parent && !IsTrustedUser(folder.owner, me) &&
      entry.owner != folder.owner) {
    return FolderRefusal(folder.owner, entry.owner);
  }
  // Past a link of another user, only through folders they could search
  // themselves: what lies in others would tell them what they may not know
  // (whether a file exists there, say).
  if (!last) return JudgeBoundMay(way, entry, Access::kSearch);
  return std::nullopt;
}

std::optional<Message> JudgeReachedFor(const WayBinding& way, Use use,
                                       const Observed* reached,
                                       const Observed& folder) {
  if (use == Use::kRead) {
    return reached == nullptr ? std::nullopt
                              : JudgeBoundMay(way, *reached, Access::kRead);
  }
  const Observed& st = reached != nullptr ? *reached : folder;
  Kind kind =
      reached != nullptr && !S_ISDIR(st.mode) ? Kind::kFile : Kind::kFolder;
  if (way.others_bound) return SharedLinkRefusal(kind, st.owner);
  for (uid_t link_owner : way.link_owners) {
    if (link_owner != st.owner) return LinkRefusal(link_owner, st.owner, kind);
  }
  return std::nullopt;
}

Message HardLinkRefusal(uid_t owner) {
  return Message(MessageId::kHardLink, {{"owner", std::to_string(owner)}});
}

Message UnreadableForWritersRefusal(uid_t owner) {
  return Message(MessageId::kUnreadableForWriters,
                 {{"owner", std::to_string(owner)}});
}

}  // namespace tevgen
