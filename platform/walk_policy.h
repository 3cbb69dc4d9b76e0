// The link and ownership rules of the Linux path walk, as pure decisions on
// what the walk observed (owners, modes and link counts of what it opened,
// who writes the folders on its way, the running user), so that each rule
// is tested alone, by tables, without system calls or other users.
// path_walk.cc observes, asks these functions and acts on their answers;
// sharing_rule.h holds the rule for a file found in a shared folder.
//
// Root and the running user are trusted. A link binds the rest of its way
// to the rights of whoever could have put it there: its owner, when that
// is another user, and whoever writes the folder it was found in. Those
// users bind the way (WayBinding): past the link, only through folders
// they could search, to files they could read; a folder to list or a file
// to replace must be theirs. From another user's folder the way goes on
// only into theirs. A refusal is a Message, worded where every message is.
#ifndef TEVGEN_PLATFORM_WALK_POLICY_H_
#define TEVGEN_PLATFORM_WALK_POLICY_H_

#include <sys/types.h>

#include <optional>
#include <vector>

#include "messages/messages.h"
#include "platform/sharing_rule.h"

namespace tevgen {

// Whose rights bound what a path may reach.
struct WayBinding {
  // The owners of the links followed that are neither root nor the running
  // user, and the owner of a folder of another user for root's and the
  // running user's links there (that owner may have moved them in).
  std::vector<uid_t> link_owners;
  // Set by a link in a folder that users beside its owner may write (group
  // or others): whoever moved it there; bound to what everybody may do.
  bool others_bound = false;

  bool bound() const { return others_bound || !link_owners.empty(); }
};

// A folder on the way, as the walk observed it.
struct FolderOnWay {
  Observed st;
  Sharing sharing;
};

// Before each name is looked up in `folder`: past a link (`past_link`), a
// name in a folder others write that is not sticky may be another of the
// same owner's, swapped in by them, so the way binds to everybody.
void BindName(const FolderOnWay& folder, bool past_link, WayBinding* way);

// A link of `link_owner` found in `folder`, for the run of `me`: its owner
// binds the way, and so does whoever writes the folder, who may have moved
// it there. In a sticky folder of root's or `me`'s (an upload folder like
// /tmp) only a link's owner may have put it there.
void BindLink(const FolderOnWay& folder, uid_t link_owner, uid_t me,
              WayBinding* way);

// What the users bound to may do with what the walk passes or reaches.
enum class Access {
  kSearch,  // a folder passed through
  kRead,    // a file read
};

// Refuses unless every user that binds `way` may do `access` to `st`: by
// its owner's bits when it is theirs, its others' bits otherwise. Group
// rights are not counted: the stricter reading.
std::optional<Message> JudgeBoundMay(const WayBinding& way, const Observed& st,
                                     Access access);

// A name of the folder `folder` that is not a link, whose status is
// `entry`; `parent` for "..", `last` when no name follows it. A folder
// entered from another user's folder must be theirs; a folder passed
// through past a binding link must be searchable by its binders.
std::optional<Message> JudgeEntry(const WayBinding& way, const Observed& folder,
                                  const Observed& entry, bool parent, bool last,
                                  uid_t me);

// What the run does with what a path reached.
enum class Use { kRead, kList, kReplace };

// Refuses unless the users that bound `way` could do `use` with what it
// reached, `reached` (null when nothing is there) in `folder`: read the
// file; a folder to list and a file to replace (or, when there is none, its
// folder) must be theirs, for all that the run does there rests on that.
std::optional<Message> JudgeReachedFor(const WayBinding& way, Use use,
                                       const Observed* reached,
                                       const Observed& folder);

// The words of sharing_rule's refusals of a file of `owner`.
Message HardLinkRefusal(uid_t owner);
Message UnreadableForWritersRefusal(uid_t owner);

}  // namespace tevgen

#endif  // TEVGEN_PLATFORM_WALK_POLICY_H_
