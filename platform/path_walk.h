// The path walk of the Linux Env: every path resolved one name at a time
// from a folder held open, each name opened with O_PATH and O_NOFOLLOW, the
// link rule for shared folders applied on what was opened, never on a path
// looked up again. What a walk reached (Resolved), the walk itself, and the
// ways the Env opens files and folders through it. Linux only.
#ifndef TEVGEN_PLATFORM_PATH_WALK_H_
#define TEVGEN_PLATFORM_PATH_WALK_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/env.h"
#include "platform/env_linux_internal.h"
#include "platform/folder_owners.h"
#include "platform/link_targets.h"
#include "platform/walk_policy.h"

namespace tevgen::posix {

// Every path is resolved here one name at a time, each name opened with
// O_PATH and O_NOFOLLOW relative to the folder held open before it (a link
// followed before in the run is only looked at, its target known: see
// LinkTargets), and every decision is taken on what was opened or looked
// at (fstat, fstatat), never on a path looked up again. The decisions
// themselves are walk_policy's (links, folders of other users) and
// sharing_rule's (a file in a shared folder).
//
// What a path resolved to: the folder that holds its last name, held open,
// and what that name holds (none when nothing is there); whose rights bound
// the way there (WayBinding).
struct Resolved : WayBinding {
  ScopedFd folder_fd{-1};  // O_PATH
  int folder = -1;         // folder_fd, or the folder the walk began in
  struct stat folder_st {};
  Sharing folder_sharing = Sharing::kPrivate;
  std::string shown_folder;  // the folder as messages name it
  std::string name;
  ScopedFd fd{-1};  // O_PATH
  struct stat st {};
  // For a listing (set before the walk): the ways of the walk from each
  // link that left nothing of the path beside its target, and, where a
  // listing came one of them before, what it found (see LinkTargets).
  bool listing = false;
  // Set before the walk by a caller that knows it: the sharing of the
  // folder the walk begins in, which otherwise costs a look at its access
  // control list (for a folder its group may write) every walk.
  std::optional<Sharing> start_sharing;
  std::vector<LinkTargets::Way> ways;
  std::optional<bool> listed;

  bool exists() const { return fd.get() >= 0; }
  FolderOnWay folder_on_way() const {
    return {ObservedOf(folder_st), folder_sharing};
  }
  std::string shown() const { return JoinPathWith(shown_folder, name, "/"); }
  void EnterFolder(int fd_of_folder, const struct stat& st_of_folder) {
    folder_fd.Reset(fd_of_folder);
    folder = fd_of_folder;
    folder_st = st_of_folder;
    folder_sharing = FolderSharing(fd_of_folder, st_of_folder);
  }
};

// Resolve (see path_walk.cc) with the path messages name `error_path`.
int ResolvePath(int start, const struct stat* start_st, std::string shown_start,
                std::string_view path, const std::string& error_path,
                LinkTargets* known_links, Resolved* out);

// Throws unless the users that bound `resolved` could do `use` with what
// it reached (see JudgeReachedFor).
void CheckReachedFor(const Resolved& resolved, const std::string& path,
                     Use use);

// Opens `path` (relative to the folder `dir_fd` with stat `dir_st`, or to
// the working folder with AT_FDCWD and a null `dir_st`) for reading if it
// leads to an ordinary file, and stores its status in `*opened`. Returns -1
// when it does not (missing, a dangling link, a folder, FIFO or device);
// throws when it does but cannot be opened or may not be followed, naming
// the file by `shown`. `dir_sharing`, when given, is the folder's sharing
// (FolderSharing), taken on the same descriptor and stat.
int OpenOrdinaryFile(int dir_fd, const struct stat* dir_st,
                     const std::string& shown_dir, std::string_view path,
                     const std::string& shown, LinkTargets* known_links,
                     struct stat* opened,
                     std::optional<Sharing> dir_sharing = std::nullopt);

// Resolves the folder `directory` and returns it held open (O_PATH) with
// its stat; throws Error with `action` when it cannot be, or when a link on
// the way may not lead to it.
int ResolveFolder(const std::string& directory, FileAction action,
                  struct stat* st);

// Whether `name` of the folder `dir_fd` leads to an ordinary file, looked
// at the way Folder::OpenFile reaches it, never opened. One that may not be
// followed is listed, so that reading it reports why: a listing that left
// it out only where it leads to a file would tell the link's owner what
// lies in folders they cannot see.
bool LeadsToOrdinaryFile(int dir_fd, const struct stat& dir_st,
                         const std::string& directory, std::string_view name,
                         LinkTargets* known_links);

// Opens the folder held as `path_fd` (O_PATH) for reading, listing or
// syncing.
int ReopenFolder(int path_fd);

}  // namespace tevgen::posix

#endif  // TEVGEN_PLATFORM_PATH_WALK_H_
