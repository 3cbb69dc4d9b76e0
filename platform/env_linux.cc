// Env on Linux. Beyond POSIX it uses what Linux and glibc alone have:
// /proc/self/exe (the program's own folder) and /proc/thread-self/fd
// (reopening what a descriptor holds), flock (the staged files' locks),
// mkostemps, sync_file_range and posix_fadvise (writing and dropping
// pages), the access control list's extended attribute (who may write a
// folder), unshare(CLONE_FILES) and the processor affinity calls (reader
// threads), and mallopt (arenas under an address-space limit).
// Another system would need its own ways for those.
#include "platform/env_linux.h"

#include <dirent.h>
#include <fcntl.h>
#include <langinfo.h>
#include <libintl.h>
#include <limits.h>
#include <locale.h>
#include <malloc.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <optional>
#include <random>
#include <thread>

#include "platform/env.h"
#include "platform/error.h"
#include "platform/link_targets.h"
#include "platform/sharing_rule.h"

namespace tevgen {
namespace {

// The one way this Env turns a failed system call into an Error.
Error PosixError(std::string path, FileAction action, int error_number) {
  return Error(std::move(path), action, SystemErrorText(error_number));
}

constexpr std::string_view kSeparators = "/";

// The path that opens again what the calling thread's descriptor `fd`
// holds. /proc/self/fd holds the main thread's, which a thread with a table
// of its own (StartThread) does not share: that would be another file.
class DescriptorPath {
 public:
  explicit DescriptorPath(int fd) {
    std::snprintf(text_, sizeof text_, "/proc/thread-self/fd/%d", fd);
  }
  const char* c_str() const { return text_; }

 private:
  char text_[40];
};

// Closes a descriptor on every path out of a scope.
class ScopedFd {
 public:
  explicit ScopedFd(int fd) : fd_(fd) {}
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  ~ScopedFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  // Gives the descriptor up to the caller.
  int Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  // Closes now and reports whether the close succeeded.
  bool Close() { return ::close(Release()) == 0; }

 private:
  int fd_;
};

// The program never changes who it runs as: asked once, not at every name
// of every walk.
uid_t RunningUser() {
  static const uid_t user = ::geteuid();
  return user;
}

// Who decides what a path reaches. Root and the running user are trusted;
// a folder is shared when anybody else may change its entries: it belongs
// to another user, or its group, others or users its access control list
// names may write it. Every path is resolved here one name at a time, each
// name opened with O_PATH and O_NOFOLLOW relative to the folder held open
// before it (a link followed before in the run is only looked at, its
// target known: see LinkTargets), and every decision is taken on what was
// opened or looked at (fstat, fstatat), never on a path looked up again.
// A link binds the rest of its way to the rights
// of whoever could have put it there (Resolved::link_owners); from another
// user's folder the way goes on only into theirs; a file with more than one
// name in a shared folder is used only when its writers could read it.
bool IsTrustedUser(uid_t user) {
  return tevgen::IsTrustedUser(user, RunningUser());
}

Observed ObservedOf(const struct stat& st) {
  return {st.st_uid, st.st_mode, st.st_nlink};
}

// Whether users beside the owner, root and the running user may write the
// folder `fd` (O_PATH) with status `st`, by its access control list too.
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

Message UnreadableForWritersRefusal(uid_t owner) {
  return Message(MessageId::kUnreadableForWriters,
                 {{"owner", std::to_string(owner)}});
}

Message HardLinkRefusal(uid_t owner) {
  return Message(MessageId::kHardLink, {{"owner", std::to_string(owner)}});
}

constexpr int kPathFlags = O_PATH | O_NOFOLLOW | O_CLOEXEC;

// The most names one path's walk resolves, its links' targets included:
// deeper than any real folder, and about what the kernel walks for a path
// of PATH_MAX bytes of short names.
constexpr size_t kMostNamesWalked = 1024;

// Opening a file for reading waits for a lease another process holds on it
// (fcntl F_SETLEASE) until they give it up, or for the system's
// lease-break-time (45 s by default): O_NONBLOCK fails at once instead.
constexpr int kReadFlags = O_RDONLY | O_NONBLOCK | O_CLOEXEC;

// The failure of opening `path` for reading with `error_number`: a lease
// in the program's words.
Error OpenError(std::string path, int error_number) {
  if (error_number == EWOULDBLOCK) {
    return Error(std::move(path), FileAction::kOpen,
                 Message(MessageId::kLeased));
  }
  return PosixError(std::move(path), FileAction::kOpen, error_number);
}

// What a path resolved to: the folder that holds its last name, held open,
// and what that name holds (none when nothing is there).
struct Resolved {
  ScopedFd folder_fd{-1};  // O_PATH
  int folder = -1;         // folder_fd, or the folder the walk began in
  struct stat folder_st {};
  Sharing folder_sharing = Sharing::kPrivate;
  std::string shown_folder;  // the folder as messages name it
  std::string name;
  ScopedFd fd{-1};  // O_PATH
  struct stat st {};
  // Whose rights bound what the path may reach: the owners of the links
  // followed that are neither root nor the running user, and the owner of a
  // folder of another user for root's and the running user's links there
  // (that owner may have moved them in). Everything after such a link must
  // be within their rights: the folders searchable, the file readable (or,
  // to be replaced, theirs).
  std::vector<uid_t> link_owners;
  // Set by a link in a folder that users beside its owner may write (group
  // or others): whoever moved it there; bound to what everybody may do.
  bool others_bound = false;

  bool bound() const { return others_bound || !link_owners.empty(); }

  // For a listing (set before the walk): the ways of the walk from each
  // link that left nothing of the path beside its target, and, where a
  // listing came one of them before, what it found (see LinkTargets).
  bool listing = false;
  std::vector<LinkTargets::Way> ways;
  std::optional<bool> listed;

  bool exists() const { return fd.get() >= 0; }
  std::string shown() const { return JoinPathWith(shown_folder, name, "/"); }
  void EnterFolder(int fd_of_folder, const struct stat& st_of_folder) {
    folder_fd.Reset(fd_of_folder);
    folder = fd_of_folder;
    folder_st = st_of_folder;
    folder_sharing = FolderSharing(fd_of_folder, st_of_folder);
  }
};

// Puts the names of `path` on `todo`, the next one last. A "." stays in
// the folder it is in: it costs no step, and is kept only where it ends the
// path (after a file, "name/." fails as it should). A link's target of
// thousands of "./" costs its walk nothing.
void PushNames(std::string_view path, std::vector<std::string>* todo) {
  const size_t first = todo->size();
  const char* at = path.data();
  const char* const end = at + path.size();
  while (at < end) {
    // One byte at a time: a call per name (memchr) cost twenty times more
    // for names of one letter.
    if (end - at >= 8 && std::memcmp(at, "./././././", 8) == 0) {
      at += 8;
      continue;
    }
    if (*at == '/' || (*at == '.' && end - at >= 2 && at[1] == '/')) {
      ++at;
      continue;
    }
    const char* name_end = at;
    while (name_end < end && *name_end != '/') ++name_end;
    if (name_end - at != 1 || *at != '.') todo->emplace_back(at, name_end);
    at = name_end;
  }
  std::string_view trimmed = path.substr(0, path.find_last_not_of('/') + 1);
  if ((trimmed == "." || trimmed.ends_with("/.")) && todo->size() > first) {
    todo->emplace_back(".");
  }
  std::reverse(todo->begin() + static_cast<std::ptrdiff_t>(first), todo->end());
}

// Appends `name` to the shown path `*shown` in place: joined anew for every
// name, a path of n names would cost n * n.
void AppendShownName(std::string_view name, std::string* shown) {
  if (!shown->empty() && shown->back() != '/') *shown += '/';
  *shown += name;
}

// Throws unless every user that bounds `resolved` may do to `st` what the
// owner's bits `own` (when it is theirs) or the others' bits `others` allow.
// Group rights are not counted: the stricter reading.
template <typename PathFunction>
void CheckBoundMay(const Resolved& resolved, const struct stat& st, mode_t own,
                   mode_t others, Kind kind, const PathFunction& error_path) {
  auto may = [&](uid_t user) {
    return (st.st_mode & (st.st_uid == user ? own : others)) != 0;
  };
  if (resolved.others_bound && (st.st_mode & others) == 0) {
    throw Error(error_path(), SharedLinkRefusal(kind, st.st_uid));
  }
  for (uid_t user : resolved.link_owners) {
    if (!may(user)) {
      throw Error(error_path(), LinkRefusal(user, st.st_uid, kind));
    }
  }
}

// Resolves `path` from the folder `start` (whose stat is `start_st`; a null
// `start_st` opens `start` itself, AT_FDCWD the working folder) or, for an
// absolute path, from "/", shown in messages as `shown_start`. Returns 0
// with `*out` filled, or the errno of the step that failed; the last name
// may be missing. Throws Error naming `error_path()` for a hard-linked link
// in a folder others may write. Takes the targets of links seen before
// from `known_links`, and adds those it reads, when it is not null.
template <typename PathFunction>
int Resolve(int start, const struct stat* start_st, std::string shown_start,
            std::string_view path, const PathFunction& error_path,
            LinkTargets* known_links, Resolved* out) {
  // Holds the folder `name` of `dir` open as the one to go on from.
  auto enter = [out](int dir, const char* name) {
    int fd = ::openat(dir, name, kPathFlags | O_DIRECTORY);
    struct stat st;
    if (fd >= 0 && ::fstat(fd, &st) != 0) {
      int error_number = errno;
      ::close(fd);
      errno = error_number;
      fd = -1;
    }
    if (fd < 0) return false;
    out->EnterFolder(fd, st);
    return true;
  };
  auto enter_root = [out, &enter, &error_path] {
    out->shown_folder.assign(1, '/');
    if (!enter(AT_FDCWD, "/")) return false;
    CheckBoundMay(*out, out->folder_st, S_IXUSR, S_IXOTH, Kind::kFolder,
                  error_path);
    return true;
  };
  out->shown_folder = std::move(shown_start);
  if (!path.empty() && path[0] == '/') {
    if (!enter_root()) return errno;
  } else if (start_st == nullptr) {
    if (!enter(start, ".")) return errno;
  } else {
    out->folder = start;
    out->folder_st = *start_st;
    out->folder_sharing = FolderSharing(start, *start_st);
  }
  std::vector<std::string> todo;
  PushNames(path, &todo);
  constexpr int kMaxLinks = 40;  // the kernel's own limit
  int links = 0;
  size_t steps = 0;
  while (!todo.empty()) {
    std::string name = std::move(todo.back());
    todo.pop_back();
    // Each name costs system calls, and a link's target may hold two
    // thousand of them: a budget bounds the walk, as the kernel bounds its
    // own by kMaxLinks and PATH_MAX. Past it the path is refused, with the
    // link rule's refusals.
    if (++steps > kMostNamesWalked) {
      throw Error(error_path(),
                  Message(MessageId::kTooManyNames,
                          {{"limit", std::to_string(kMostNamesWalked)}}));
    }
    // Past a link, a name in a folder that others write and that is not
    // sticky may be another of the same owner's, swapped in by them (two
    // folders of root's in a team folder, say): the way binds to them.
    if (links > 0 && out->folder_sharing == Sharing::kMany &&
        (out->folder_st.st_mode & S_ISVTX) == 0) {
      out->others_bound = true;
    }
    // A link followed before in this run is taken as its status shows it,
    // with the target it had then: it needs no descriptor to read it by.
    // ("." and ".." are never links.)
    struct stat st;
    LinkTargets::Target known;
    bool link_known =
        known_links != nullptr && name != "." && name != ".." &&
        ::fstatat(out->folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(st.st_mode) && known_links->Find(st, &known);
    ScopedFd fd(-1);
    if (!link_known) {
      fd.Reset(::openat(out->folder, name.c_str(), kPathFlags));
      if (fd.get() < 0) {
        int error_number = errno;
        // The name that is missing, for the message: "nope" of
        // nope/tev.xml, not the folder it is missing from.
        out->name = std::move(name);
        if (error_number != ENOENT || !todo.empty()) return error_number;
        return 0;
      }
      if (::fstat(fd.get(), &st) != 0) return errno;
    }
    if (S_ISLNK(st.st_mode)) {
      if (++links > kMaxLinks) return ELOOP;
      if (!IsTrustedUser(st.st_uid)) {
        out->link_owners.push_back(st.st_uid);
      }
      // Whoever writes the folder may have moved the link there, anybody's
      // (from a folder of theirs, or one everybody writes), or given it a
      // second name: it counts as theirs too. In a sticky folder that
      // root or the running user owns (an upload folder like /tmp) only a
      // link's owner may have put it there.
      bool owner_only = (out->folder_st.st_mode & S_ISVTX) != 0 &&
                        IsTrustedUser(out->folder_st.st_uid);
      if (out->folder_sharing == Sharing::kMany && !owner_only) {
        out->others_bound = true;
      } else if (out->folder_sharing == Sharing::kOwner &&
                 st.st_uid != out->folder_st.st_uid) {
        out->link_owners.push_back(out->folder_st.st_uid);
      }
      if (!link_known) {
        std::string target(PATH_MAX, '\0');
        ssize_t length =
            ::readlinkat(fd.get(), "", target.data(), target.size());
        if (length < 0) return errno;
        if (length == 0) return ENOENT;
        if (static_cast<size_t>(length) >= target.size()) return ENAMETOOLONG;
        target.resize(static_cast<size_t>(length));
        known.absolute = target[0] == '/';
        PushNames(target, &known.names);
        if (known_links != nullptr) known_links->Add(st, known);
      }
      if (known.absolute && !enter_root()) return errno;
      // All that is left is the link's target: for a listing, the rest of
      // the walk is what a listing found past this link in this state, if
      // one came this way (see LinkTargets).
      if (out->listing && known_links != nullptr && todo.empty()) {
        LinkTargets::Way way{LinkTargets::KeyOf(st),
                             out->folder_st.st_dev,
                             out->folder_st.st_ino,
                             links,
                             steps,
                             out->others_bound,
                             out->link_owners};
        bool listed;
        if (known_links->FindListed(way, &listed)) {
          out->listed = listed;
          return 0;
        }
        out->ways.push_back(std::move(way));
      }
      todo.insert(todo.end(), known.names.begin(), known.names.end());
      continue;
    }
    // Whoever owns a folder may put any folder there, by a rename too (a
    // folder of root's they were given, say), and so choose what root's
    // links inside lead to: from another user's folder the way goes on only
    // into that user's folders.
    if (S_ISDIR(st.st_mode) && name != ".." &&
        !IsTrustedUser(out->folder_st.st_uid) &&
        st.st_uid != out->folder_st.st_uid) {
      throw Error(error_path(),
                  FolderRefusal(out->folder_st.st_uid, st.st_uid));
    }
    // Past a link of another user, only through folders they could search
    // themselves: what lies in others would tell them what they may not
    // know (whether a file exists there, say).
    if (S_ISDIR(st.st_mode) && !todo.empty()) {
      CheckBoundMay(*out, st, S_IXUSR, S_IXOTH, Kind::kFolder, error_path);
    }
    if (todo.empty()) {
      out->name = std::move(name);
      out->st = st;
      out->fd.Reset(fd.Release());
      return 0;
    }
    if (!S_ISDIR(st.st_mode)) return ENOTDIR;
    out->EnterFolder(fd.Release(), st);
    AppendShownName(name, &out->shown_folder);
  }
  // The path ends in a folder ("/", or a link to one): the folder itself.
  out->name.assign(1, '.');
  out->st = out->folder_st;
  out->fd.Reset(::openat(out->folder, ".", kPathFlags));
  return out->exists() ? 0 : errno;
}

// What the run does with what a path reached.
enum class Use { kRead, kList, kReplace };

// Throws unless the users that bound `resolved` (see Resolved) could do
// `use` with what it reached themselves: read the file. A folder to list
// and a file to replace (or, when there is none, its folder) must be
// theirs: all that the run does in the folder after it rests on that.
void CheckReachedFor(const Resolved& resolved, const std::string& path,
                     Use use) {
  auto shown = [&path] { return path; };
  switch (use) {
    case Use::kRead:
      CheckBoundMay(resolved, resolved.st, S_IRUSR, S_IROTH, Kind::kFile,
                    shown);
      return;
    case Use::kList:
    case Use::kReplace:
      break;
  }
  const struct stat& reached =
      resolved.exists() ? resolved.st : resolved.folder_st;
  Kind kind = resolved.exists() && !S_ISDIR(reached.st_mode) ? Kind::kFile
                                                             : Kind::kFolder;
  if (resolved.others_bound) {
    throw Error(path, SharedLinkRefusal(kind, reached.st_uid));
  }
  for (uid_t link_owner : resolved.link_owners) {
    if (link_owner != reached.st_uid) {
      throw Error(path, LinkRefusal(link_owner, reached.st_uid, kind));
    }
  }
}

// Opens for reading the ordinary file that `resolved` reached, once its
// links and names are found acceptable: through its descriptor, so that the
// file opened is the one judged. Returns -1 when it is not an ordinary
// file; nothing else is ever opened.
int OpenResolvedFile(const Resolved& resolved, const std::string& path,
                     struct stat* opened) {
  if (!resolved.exists() || !S_ISREG(resolved.st.st_mode)) return -1;
  CheckReachedFor(resolved, path, Use::kRead);
  // In a shared folder its writers may have moved in a file they cannot
  // read themselves, or given it a name (see sharing_rule.h).
  switch (JudgeRead(resolved.folder_sharing, ObservedOf(resolved.folder_st),
                    ObservedOf(resolved.st), RunningUser())) {
    case ReadVerdict::kRead:
      break;
    case ReadVerdict::kRefuseHardLink:
      throw Error(path, HardLinkRefusal(resolved.st.st_uid));
    case ReadVerdict::kRefuseUnreadableForWriters:
      throw Error(path, UnreadableForWritersRefusal(resolved.st.st_uid));
  }
  int fd = ::open(DescriptorPath(resolved.fd.get()).c_str(), kReadFlags);
  if (fd < 0) throw OpenError(path, errno);
  *opened = resolved.st;
  return fd;
}

// Opens `path` (relative to the folder `dir_fd` with stat `dir_st`, or to
// the working folder with AT_FDCWD and a null `dir_st`) for reading if it
// leads to an ordinary file, and stores its status in `*opened`. Returns -1
// when it does not (missing, a dangling link, a folder, FIFO or device);
// throws when it does but cannot be opened or may not be followed, naming
// the file by `shown`.
int OpenOrdinaryFile(int dir_fd, const struct stat* dir_st,
                     const std::string& shown_dir, std::string_view path,
                     const std::string& shown, LinkTargets* known_links,
                     struct stat* opened) {
  Resolved resolved;
  int error_number = Resolve(
      dir_fd, dir_st, shown_dir, path, [&] { return shown; }, known_links,
      &resolved);
  if (error_number == ENOENT || error_number == ENOTDIR ||
      error_number == ELOOP) {
    return -1;
  }
  if (error_number != 0) {
    throw PosixError(shown, FileAction::kOpen, error_number);
  }
  return OpenResolvedFile(resolved, shown, opened);
}

// Resolves the folder `directory` and returns it held open (O_PATH) with
// its stat; throws Error with `action` when it cannot be, or when a link on
// the way may not lead to it.
int ResolveFolder(const std::string& directory, FileAction action,
                  struct stat* st) {
  Resolved resolved;
  int error_number = Resolve(
      AT_FDCWD, nullptr, "", directory, [&] { return directory; }, nullptr,
      &resolved);
  if (error_number == 0 && !resolved.exists()) error_number = ENOENT;
  if (error_number == 0 && !S_ISDIR(resolved.st.st_mode)) {
    error_number = ENOTDIR;
  }
  if (error_number != 0) throw PosixError(directory, action, error_number);
  CheckReachedFor(resolved, directory, Use::kList);
  *st = resolved.st;
  return resolved.fd.Release();
}

// Whether `name` of the folder `dir_fd` leads to an ordinary file, looked
// at the way Folder::OpenFile reaches it, never opened. One that may not be
// followed is listed, so that reading it reports why: a listing that left
// it out only where it leads to a file would tell the link's owner what
// lies in folders they cannot see.
bool LeadsToOrdinaryFile(int dir_fd, const struct stat& dir_st,
                         const std::string& directory, std::string_view name,
                         LinkTargets* known_links) {
  Resolved resolved;
  resolved.listing = true;
  bool leads = true;
  try {
    std::string shown = JoinPathWith(directory, name, "/");
    int error_number = Resolve(
        dir_fd, &dir_st, directory, name, [&shown] { return shown; },
        known_links, &resolved);
    if (resolved.listed) return *resolved.listed;
    leads =
        error_number == 0 && resolved.exists() && S_ISREG(resolved.st.st_mode);
    // A failure that may pass (too many open files, say) is not kept for
    // the names after this one.
    if (error_number != 0 && error_number != ENOENT &&
        error_number != ENOTDIR && error_number != ELOOP) {
      return leads;
    }
  } catch (const Error&) {
  }
  for (const LinkTargets::Way& way : resolved.ways) {
    known_links->AddListed(way, leads);
  }
  return leads;
}

// Opens the folder held as `path_fd` (O_PATH) for reading, listing or
// syncing.
int ReopenFolder(int path_fd) {
  return ::openat(path_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

// A folder held open, its files opened relative to it; the targets of the
// links on their way taken from, and added to, `known_links`.
class PosixFolder : public Folder {
 public:
  PosixFolder(std::string directory, int fd, const struct stat& st,
              LinkTargets* known_links)
      : directory_(std::move(directory)),
        fd_(fd),
        st_(st),
        shared_(FolderSharing(fd, st) != Sharing::kPrivate),
        known_links_(known_links) {}

  std::unique_ptr<RandomAccessFile> OpenFile(std::string_view name) override;

 private:
  std::string directory_;
  ScopedFd fd_;  // O_PATH
  struct stat st_;
  bool shared_;
  LinkTargets* known_links_;
};

bool SameTime(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

class PosixRandomAccessFile : public RandomAccessFile {
 public:
  // `opened` is the file's status when it was opened.
  PosixRandomAccessFile(std::string path, int fd, const struct stat& opened)
      : path_(std::move(path)), fd_(fd), opened_(opened) {}

  uint64_t Size() override { return static_cast<uint64_t>(opened_.st_size); }

  uint64_t SkipHole(uint64_t offset) override {
    off_t data = ::lseek(fd_.get(), static_cast<off_t>(offset), SEEK_DATA);
    if (data >= 0) return static_cast<uint64_t>(data);
    // ENXIO: no data from `offset` on. A file system without holes says
    // EINVAL, and has none to skip.
    if (errno == ENXIO) {
      off_t end = ::lseek(fd_.get(), 0, SEEK_END);
      if (end >= 0) return std::max(offset, static_cast<uint64_t>(end));
    }
    return offset;
  }

  // The times are kept in nanoseconds, and since Linux 6.13 a change right
  // after a stat gets a time of its own; before, two changes within a
  // clock tick may share one.
  bool ChangedSinceOpened() override {
    struct stat now;
    if (::fstat(fd_.get(), &now) != 0) {
      throw PosixError(path_, FileAction::kRead, errno);
    }
    return now.st_size != opened_.st_size ||
           !SameTime(now.st_mtim, opened_.st_mtim) ||
           !SameTime(now.st_ctim, opened_.st_ctim);
  }

  std::chrono::system_clock::time_point LastChanged() override {
    using std::chrono::system_clock;
    auto since_epoch = std::chrono::seconds(opened_.st_ctim.tv_sec) +
                       std::chrono::nanoseconds(opened_.st_ctim.tv_nsec);
    return system_clock::time_point(
        std::chrono::duration_cast<system_clock::duration>(since_epoch));
  }

  size_t ReadAt(uint64_t offset, char* buffer, size_t n) override {
    for (;;) {
      ssize_t got = ::pread(fd_.get(), buffer, n, static_cast<off_t>(offset));
      if (got >= 0) return static_cast<size_t>(got);
      if (errno != EINTR) throw PosixError(path_, FileAction::kRead, errno);
    }
  }

 private:
  std::string path_;
  ScopedFd fd_;
  struct stat opened_;
};

// How many descriptors the thread's table holds: the entries of
// /proc/thread-self/fd but the one that lists them; where that cannot be
// listed, those of the first `limit` numbers that are open.
size_t DescriptorsInUse(rlim_t limit) {
  size_t count = 0;
  if (DIR* dir = ::opendir("/proc/thread-self/fd")) {
    while (const struct dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] != '.') ++count;
    }
    ::closedir(dir);
    return count > 0 ? count - 1 : 0;
  }
  constexpr rlim_t kMostCounted = 1 << 16;
  for (rlim_t fd = 0; fd < std::min(limit, kMostCounted); ++fd) {
    if (::fcntl(static_cast<int>(fd), F_GETFD) >= 0) ++count;
  }
  return count;
}

std::unique_ptr<RandomAccessFile> PosixFolder::OpenFile(std::string_view name) {
  std::string path = JoinPathWith(directory_, name, kSeparators);
  struct stat opened;
  int fd = -1;
  if (!shared_ && name.find('/') == std::string_view::npos) {
    // Only root and the running user change this folder: an entry that is
    // not a link is opened directly, the cheap way for the common case. In
    // a shared folder its writers may move anything they can rename there
    // (a FIFO of root's from a folder everybody writes, say), which must
    // not be opened before it is judged.
    std::string name_text(name);
    fd = ::openat(fd_.get(), name_text.c_str(), kReadFlags | O_NOFOLLOW);
    if (fd >= 0) {
      struct stat st;
      if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return nullptr;
      }
      return std::make_unique<PosixRandomAccessFile>(path, fd, st);
    }
    if (errno == ENOENT || errno == ENOTDIR) return nullptr;
    if (errno == EWOULDBLOCK) throw OpenError(path, errno);
    // ELOOP (a link) and the rest go the careful way, which also tells an
    // unreadable FIFO (not an ordinary file) from an unreadable file.
  }
  fd = OpenOrdinaryFile(fd_.get(), &st_, directory_, name, path, known_links_,
                        &opened);
  if (fd < 0) return nullptr;
  return std::make_unique<PosixRandomAccessFile>(path, fd, opened);
}

mode_t CurrentUmask() {
  mode_t mask = ::umask(0);
  ::umask(mask);
  return mask;
}

void WriteAll(int fd, std::string_view data, const std::string& path) {
  while (!data.empty()) {
    ssize_t written = ::write(fd, data.data(), data.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      throw PosixError(path, FileAction::kWrite, errno);
    }
    data.remove_prefix(static_cast<size_t>(written));
  }
}

// The signals whose default action ends the process, but for those that
// cannot be caught and SIGPIPE and SIGXFSZ, which PrepareProcess turns into
// write errors; the faults (SEGV, BUS, ...) and abort() among them, and the
// real-time signals. A process stopped by one removes its staged file
// first, as one that fails does.
constexpr int kStopSignals[] = {SIGHUP,  SIGINT,  SIGQUIT,   SIGTERM, SIGUSR1,
                                SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU,
                                SIGPWR,  SIGIO,   SIGSTKFLT, SIGSYS,  SIGABRT,
                                SIGBUS,  SIGFPE,  SIGILL,    SIGSEGV, SIGTRAP};

template <typename Function>
void ForEachStopSignal(const Function& function) {
  for (int signal_number : kStopSignals) function(signal_number);
  for (int signal_number = SIGRTMIN; signal_number <= SIGRTMAX;
       ++signal_number) {
    function(signal_number);
  }
}

// The staged file for the signal handler: its folder, held open, and its
// name there. Removing it relative to the folder works even when the folder
// was renamed meanwhile. The process stages one file at a time.
volatile sig_atomic_t staged_folder_for_signals = -1;
char staged_name_for_signals[NAME_MAX + 1];

void RemoveStagedAndStop(int signal_number) {
  int folder = staged_folder_for_signals;
  if (folder >= 0) ::unlinkat(folder, staged_name_for_signals, 0);
  ::signal(signal_number, SIG_DFL);
  ::raise(signal_number);
}

// Blocks the stop signals for the life of the object, so that a staged file
// cannot be created and not yet registered when one arrives.
class StopSignalsBlocked {
 public:
  StopSignalsBlocked() {
    sigset_t blocked;
    sigemptyset(&blocked);
    ForEachStopSignal(
        [&](int signal_number) { sigaddset(&blocked, signal_number); });
    ::sigprocmask(SIG_BLOCK, &blocked, &previous_);
  }
  ~StopSignalsBlocked() { ::sigprocmask(SIG_SETMASK, &previous_, nullptr); }

 private:
  sigset_t previous_;
};

void RegisterStaged(int folder_fd, const std::string& name) {
  if (name.size() >= sizeof staged_name_for_signals) return;
  std::memcpy(staged_name_for_signals, name.c_str(), name.size() + 1);
  staged_folder_for_signals = folder_fd;
  ForEachStopSignal([](int signal_number) {
    struct sigaction current;
    // A signal the caller chose to ignore (nohup) stays ignored.
    if (::sigaction(signal_number, nullptr, &current) == 0 &&
        current.sa_handler == SIG_DFL) {
      ::signal(signal_number, RemoveStagedAndStop);
    }
  });
}

void UnregisterStaged() { staged_folder_for_signals = -1; }

// Whether `name` in the folder `dir_fd` is still the file open as `fd`.
bool StillNamed(int dir_fd, const std::string& name, int fd) {
  struct stat named;
  struct stat open;
  return ::fstatat(dir_fd, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
         ::fstat(fd, &open) == 0 && named.st_ino == open.st_ino &&
         named.st_dev == open.st_dev;
}

// A replaced file this large has its cached pages dropped during the run
// (PosixReplacementFile::DropOldPagesMeanwhile); for a smaller one a thread
// costs more than the rename's share it saves.
constexpr off_t kDropOldPagesFrom = off_t{4} << 20;

// A staged file is named `prefix` and this many random letters and digits.
constexpr size_t kStagedSuffixLength = 6;
constexpr std::string_view kStagedLetters =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

// Creates a staged file under a new name that begins with `prefix` in the
// folder `dir_fd`, and locks it for as long as it is open: a later process
// removes only the staged files it can lock, the leftovers of killed ones.
// Returns the descriptor, or -1 with errno set.
int CreateStaged(int dir_fd, const std::string& prefix, std::string* name) {
  constexpr std::string_view kLetters = kStagedLetters;
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string candidate = prefix;
    for (size_t i = 0; i < kStagedSuffixLength; ++i) {
      candidate += kLetters[random() % kLetters.size()];
    }
    int fd = ::openat(dir_fd, candidate.c_str(),
                      O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return -1;
    }
    // Another process may have taken the new file for a leftover before it was
    // locked, and removed it: then make another. A file system without
    // locks keeps every staged file, which is safe.
    if (::flock(fd, LOCK_EX) != 0 || StillNamed(dir_fd, candidate, fd)) {
      *name = std::move(candidate);
      return fd;
    }
    ::close(fd);
  }
  errno = EEXIST;
  return -1;
}

// The prefix of the staged files beside `target_name`. The name is hidden
// (it begins with "."), and a long target name is cut so that the whole
// staged name fits wherever the target's name fits.
std::string StagedPrefix(std::string_view target_name) {
  constexpr size_t kRoom = NAME_MAX - 2 - kStagedSuffixLength;
  std::string prefix(1, '.');
  prefix.append(target_name.substr(0, kRoom));
  prefix += '.';
  return prefix;
}

// Whether `name` is a staged name made from `prefix`, exactly.
bool IsStagedName(std::string_view name, std::string_view prefix) {
  return name.size() == prefix.size() + kStagedSuffixLength &&
         name.starts_with(prefix) &&
         name.find_first_not_of(kStagedLetters, prefix.size()) ==
             std::string_view::npos;
}

// Whether `name` has the shape of any staged name: hidden, ending in "."
// and the random suffix.
bool LooksStaged(std::string_view name) {
  return name.size() > kStagedSuffixLength + 1 && name[0] == '.' &&
         name[name.size() - kStagedSuffixLength - 1] == '.' &&
         name.find_first_not_of(kStagedLetters,
                                name.size() - kStagedSuffixLength) ==
             std::string_view::npos;
}

// Removes `name` from the folder `dir_fd` (with stat `folder`) if it is a
// staged file that a killed process left: only an unlocked ordinary file of
// the running user (for root, also of the folder's owner), so that
// nobody's other file is removed by mistaking it for a leftover, and a live
// process, which holds a lock on its own, keeps it. Nothing is opened
// before it is known to be such a file.
void RemoveIfStale(int dir_fd, const struct stat& folder,
                   const std::string& name) {
  uid_t me = ::geteuid();
  ScopedFd path_fd(::openat(dir_fd, name.c_str(), kPathFlags));
  struct stat st;
  if (path_fd.get() < 0 || ::fstat(path_fd.get(), &st) != 0 ||
      !S_ISREG(st.st_mode) ||
      !(st.st_uid == me || (me == 0 && st.st_uid == folder.st_uid))) {
    return;
  }
  // A leftover that another process holds a lease on is left.
  ScopedFd fd(::open(DescriptorPath(path_fd.get()).c_str(), kReadFlags));
  if (fd.get() >= 0 && ::flock(fd.get(), LOCK_EX | LOCK_NB) == 0 &&
      StillNamed(dir_fd, name, fd.get())) {
    ::unlinkat(dir_fd, name.c_str(), 0);
  }
}

// Removes the staged files (named `prefix` and a suffix) that processes
// killed before they could remove them left in the folder `dir_fd` (with
// stat `folder`), but `own`. The candidates are `seen` where given (the
// names of that shape a listing just found), else the folder is listed.
void RemoveStaleStaged(int dir_fd, const struct stat& folder,
                       const std::string& prefix, const std::string& own,
                       const std::vector<std::string>* seen) {
  if (seen != nullptr) {
    for (const std::string& name : *seen) {
      if (IsStagedName(name, prefix) && name != own) {
        RemoveIfStale(dir_fd, folder, name);
      }
    }
    return;
  }
  int list_fd = ReopenFolder(dir_fd);
  DIR* dir = list_fd < 0 ? nullptr : ::fdopendir(list_fd);
  if (dir == nullptr) {
    if (list_fd >= 0) ::close(list_fd);
    return;
  }
  while (const struct dirent* entry = ::readdir(dir)) {
    std::string_view name = entry->d_name;
    if (IsStagedName(name, prefix) && name != own) {
      RemoveIfStale(dir_fd, folder, std::string(name));
    }
  }
  ::closedir(dir);
}

// Gives a first file `fd`, made by root in another user's folder, that
// user and the folder's group, so that they can go on replacing it.
void GiveFolderOwner(int fd, const struct stat& folder) {
  if (::geteuid() == 0 && folder.st_uid != 0) {
    (void)!::fchown(fd, folder.st_uid, folder.st_gid);
  }
}

// Gives the new file `fd` the owner and group of the file it replaces, as
// far as the running user may: root both, another user the group when they
// belong to it. Where that is not allowed the new file stays the user's.
void KeepOwner(int fd, const struct stat& old) {
  if (::geteuid() == 0) {
    (void)!::fchown(fd, old.st_uid, old.st_gid);
  } else {
    (void)!::fchown(fd, static_cast<uid_t>(-1), old.st_gid);
  }
}

class PosixReplacementFile : public ReplacementFile {
 public:
  // Takes over `dir_fd` (the target's folder) and `fd` (the staged file).
  // In a folder that others write (`shared`), what the new file replaces
  // must belong to `owner`, as what was there when the run began did, or
  // to the new file's owner where nothing was.
  PosixReplacementFile(std::string folder, int dir_fd, std::string target,
                       std::string target_name, std::string staged_name, int fd,
                       bool shared, std::optional<uid_t> owner)
      : folder_(std::move(folder)),
        dir_fd_(dir_fd),
        target_(std::move(target)),
        target_name_(std::move(target_name)),
        staged_name_(std::move(staged_name)),
        fd_(fd),
        lock_fd_(::dup(fd)),
        shared_(shared),
        owner_(owner) {}

  int folder_fd() const { return dir_fd_.get(); }

  ~PosixReplacementFile() override {
    JoinOldPagesDropper();
    // Only while the staged name is still this file's: after a failed
    // exchange it may name another user's.
    if (!committed_ &&
        StillNamed(dir_fd_.get(), staged_name_, lock_fd_.get())) {
      ::unlinkat(dir_fd_.get(), staged_name_.c_str(), 0);
    }
    UnregisterStaged();
  }

  // Every kWriteBehind bytes, the disk is asked to start writing them
  // (sync_file_range, which does not wait for the writing), so that the
  // sync in Commit finds little left to do: a large catalogue goes to disk
  // while the rest of it is made. A failure shows in that sync.
  void Append(std::string_view data) override {
    WriteAll(fd_.get(), data, target_);
    written_ += data.size();
    if (written_ - started_ >= kWriteBehind) {
      (void)::sync_file_range(fd_.get(), static_cast<off_t>(started_),
                              static_cast<off_t>(written_ - started_),
                              SYNC_FILE_RANGE_WRITE);
      started_ = written_;
    }
  }

  // The rename frees the file it replaces, and with it the pages of that
  // file in the cache: 140-210 ms for a catalogue of 300 MB, more than half
  // of it the pages. `old_fd` (open for reading) is the replaced file,
  // which has no other name: a thread drops its pages from the cache while
  // the run goes on, on the second core, and closes it. They would go at
  // the rename anyway; what a reader meanwhile needs is read again.
  void DropOldPagesMeanwhile(int old_fd) {
    try {
      old_pages_dropper_ = std::thread([old_fd] {
        (void)::posix_fadvise(old_fd, 0, 0, POSIX_FADV_DONTNEED);
        ::close(old_fd);
      });
    } catch (const std::exception&) {
      ::close(old_fd);  // no thread: the rename frees them, as before
    }
  }

  void Commit() override {
    if (::fsync(fd_.get()) != 0) {
      throw PosixError(target_, FileAction::kSync, errno);
    }
    JoinOldPagesDropper();
    // A failing close can be the first report of a lost write (NFS). The
    // lock stays on the duplicate until the rename is done.
    if (!fd_.Close()) throw PosixError(target_, FileAction::kWrite, errno);
    if (shared_) {
      PutInPlaceOfTheSameOwners();
    } else if (::renameat(dir_fd_.get(), staged_name_.c_str(), dir_fd_.get(),
                          target_name_.c_str()) != 0) {
      throw PosixError(target_, FileAction::kReplace, errno);
    }
    committed_ = true;
    UnregisterStaged();
    lock_fd_.Close();
    SyncDirectory();
  }

 private:
  // In a folder others write, the file first judged may have been replaced
  // by another user's since (removed by its owner, then made anew by
  // someone else). The new file is put in place by exchanging the two
  // names in one step, and what came out is checked; another user's goes
  // back. Where nothing was, the new file takes the name only if it is
  // still free.
  void PutInPlaceOfTheSameOwners() {
    const int dir = dir_fd_.get();
    const char* staged = staged_name_.c_str();
    const char* target = target_name_.c_str();
    if (!owner_ &&
        ::renameat2(dir, staged, dir, target, RENAME_NOREPLACE) == 0) {
      return;
    }
    if (!owner_ && errno != EEXIST && errno != EINVAL) {
      throw PosixError(target_, FileAction::kReplace, errno);
    }
    struct stat own;
    if (::fstat(lock_fd_.get(), &own) != 0) {
      throw PosixError(target_, FileAction::kReplace, errno);
    }
    uid_t expected = owner_.value_or(own.st_uid);
    // From the exchange on, the staged name may hold another file, which a
    // signal must not remove.
    UnregisterStaged();
    if (::renameat2(dir, staged, dir, target, RENAME_EXCHANGE) != 0) {
      if (errno != EINVAL) {
        throw PosixError(target_, FileAction::kReplace, errno);
      }
      // A file system that cannot exchange names: the check comes just
      // before the rename instead, which leaves a moment between the two.
      struct stat now;
      if (::fstatat(dir, target, &now, AT_SYMLINK_NOFOLLOW) == 0 &&
          now.st_uid != expected) {
        throw Error(target_, FileAction::kReplace, MessageId::kFileSwapped);
      }
      if (::renameat(dir, staged, dir, target) != 0) {
        throw PosixError(target_, FileAction::kReplace, errno);
      }
      return;
    }
    struct stat old;
    if (::fstatat(dir, staged, &old, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(old.st_mode) && old.st_uid == expected) {
      ::unlinkat(dir, staged, 0);  // the old file
      return;
    }
    // Theirs goes back; where the new file was removed from the name
    // meanwhile (by the user it was given to), theirs takes the name alone.
    if (::renameat2(dir, staged, dir, target, RENAME_EXCHANGE) != 0) {
      ::renameat2(dir, staged, dir, target, RENAME_NOREPLACE);
    }
    throw Error(target_, FileAction::kReplace, MessageId::kFileSwapped);
  }

  void JoinOldPagesDropper() {
    if (old_pages_dropper_.joinable()) old_pages_dropper_.join();
  }

  // Makes the rename itself durable. File systems that cannot sync a folder
  // say so with EINVAL; there is nothing more to do on them.
  void SyncDirectory() {
    if (::fsync(dir_fd_.get()) != 0 && errno != EINVAL) {
      throw PosixError(folder_, FileAction::kSyncFolder, errno);
    }
  }

  std::string folder_;
  ScopedFd dir_fd_;
  std::string target_;
  std::string target_name_;
  std::string staged_name_;
  ScopedFd fd_;
  ScopedFd lock_fd_;
  bool shared_;
  std::optional<uid_t> owner_;
  bool committed_ = false;
  static constexpr uint64_t kWriteBehind = 1 << 20;
  uint64_t written_ = 0;  // bytes appended
  uint64_t started_ = 0;  // bytes whose writing was started
  std::thread old_pages_dropper_;
};

class PosixEnv : public Env {
 public:
  std::string ProgramDirectory() override {
    std::string path(PATH_MAX, '\0');
    ssize_t length = ::readlink("/proc/self/exe", path.data(), path.size());
    if (length <= 0 || static_cast<size_t>(length) >= path.size()) {
      throw PosixError("/proc/self/exe", FileAction::kFindProgram, errno);
    }
    path.resize(static_cast<size_t>(length));
    return FolderOf(path);
  }

  std::string JoinPath(std::string_view directory,
                       std::string_view name) override {
    return JoinPathWith(directory, name, kSeparators);
  }

  std::vector<std::string> ListFiles(const std::string& directory,
                                     const NameFilter& keep) override {
    struct stat folder_st;
    ScopedFd folder(
        ResolveFolder(directory, FileAction::kListFolder, &folder_st));
    int fd = ReopenFolder(folder.get());
    DIR* dir = fd < 0 ? nullptr : ::fdopendir(fd);
    if (dir == nullptr) {
      int error_number = errno;
      if (fd >= 0) ::close(fd);
      throw PosixError(directory, FileAction::kListFolder, error_number);
    }
    std::vector<std::string> names;
    std::vector<std::string> staged;
    // A run reads each link's target once: from its listing on.
    known_links_.Clear();
    for (;;) {
      errno = 0;
      const struct dirent* entry = ::readdir(dir);
      if (entry == nullptr) break;
      std::string_view name = entry->d_name;
      if (LooksStaged(name)) staged.emplace_back(name);
      // Names beginning with "." are hidden here, by convention.
      if (name.empty() || name[0] == '.' || !keep(name)) continue;
      if (entry->d_type == DT_REG ||
          (entry->d_type != DT_DIR &&
           LeadsToOrdinaryFile(::dirfd(dir), folder_st, directory, name,
                               &known_links_))) {
        names.emplace_back(name);
      }
    }
    int error_number = errno;
    ::closedir(dir);
    if (error_number != 0) {
      throw PosixError(directory, FileAction::kListFolder, error_number);
    }
    std::lock_guard<std::mutex> lock(listed_mutex_);
    listed_ = {folder_st.st_dev, folder_st.st_ino, folder_st.st_ctim,
               std::move(staged), directory};
    return names;
  }

  std::unique_ptr<Folder> OpenFolder(const std::string& directory) override {
    struct stat st;
    int fd = ResolveFolder(directory, FileAction::kOpenFolder, &st);
    auto folder =
        std::make_unique<PosixFolder>(directory, fd, st, &known_links_);
    CheckStillListed(directory, st);
    return folder;
  }

  size_t OpenFileRoom() override {
    struct rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 ||
        limit.rlim_cur == RLIM_INFINITY) {
      return std::numeric_limits<size_t>::max();
    }
    size_t in_use = DescriptorsInUse(limit.rlim_cur);
    return limit.rlim_cur > in_use ? limit.rlim_cur - in_use : 0;
  }

  std::unique_ptr<RandomAccessFile> OpenFile(const std::string& path) override {
    struct stat opened;
    int fd =
        OpenOrdinaryFile(AT_FDCWD, nullptr, "", path, path, nullptr, &opened);
    if (fd < 0) return nullptr;
    return std::make_unique<PosixRandomAccessFile>(path, fd, opened);
  }

  // Where `name` is a link, the file it leads to is replaced, as writing
  // through the link would replace it, so that a link the user set up (into
  // another folder, say) stays a link and its target gets the new content.
  std::unique_ptr<ReplacementFile> NewReplacementFile(
      const std::string& directory, const std::string& name) override {
    std::string path = JoinPath(directory, name);
    struct stat folder_st;
    ScopedFd folder(
        ResolveFolder(directory, FileAction::kCreateIn, &folder_st));
    CheckStillListed(directory, folder_st);
    Resolved target;
    int error_number = Resolve(
        folder.get(), &folder_st, directory, name, [&] { return path; },
        nullptr, &target);
    if (error_number != 0) {
      throw PosixError(
          error_number == ENOENT ? target.shown() : path,
          error_number == ENOENT ? FileAction::kCreateIn : FileAction::kReplace,
          error_number);
    }
    CheckReachedFor(target, path, Use::kReplace);
    std::string target_path = target.shown();
    if (target.exists()) {
      // Renaming over a device or a FIFO would replace it.
      if (!S_ISREG(target.st.st_mode)) {
        throw Error(target_path, FileAction::kReplaceNonFile);
      }
      if (::faccessat(target.folder, target.name.c_str(), W_OK, AT_EACCESS) !=
          0) {
        throw PosixError(target_path, FileAction::kReplace, errno);
      }
    }
    // The staged names that the folder's listing saw, while it has not
    // changed since (its time before the listing, and now before this
    // run's own staged file): a large folder is not listed a second time.
    std::vector<std::string> seen;
    bool listed = false;
    {
      std::lock_guard<std::mutex> lock(listed_mutex_);
      if (listed_.dev == folder_st.st_dev && listed_.ino == folder_st.st_ino &&
          SameTime(listed_.changed, folder_st.st_ctim)) {
        seen = listed_.staged;
        listed = true;
      }
    }
    ScopedFd dir(ReopenFolder(target.folder));
    if (dir.get() < 0) {
      throw PosixError(target.shown_folder, FileAction::kCreateIn, errno);
    }
    std::string prefix = StagedPrefix(target.name);
    std::string staged_name;
    std::unique_ptr<PosixReplacementFile> file;
    {
      StopSignalsBlocked blocked;
      int fd = CreateStaged(dir.get(), prefix, &staged_name);
      if (fd < 0) {
        throw PosixError(target.shown_folder, FileAction::kCreateIn, errno);
      }
      file = std::make_unique<PosixReplacementFile>(
          target.shown_folder, dir.get(), target_path, target.name, staged_name,
          fd, target.folder_sharing != Sharing::kPrivate,
          target.exists() ? std::optional<uid_t>(target.st.st_uid)
                          : std::nullopt);
      int dir_fd = dir.Release();
      if (target.exists()) {
        KeepOwner(fd, target.st);
      } else {
        GiveFolderOwner(fd, target.folder_st);
      }
      // Only the permission bits: never setuid, setgid or sticky.
      mode_t mode = target.exists() ? (target.st.st_mode & 0777)
                                    : (0666 & ~CurrentUmask());
      if (::fchmod(fd, mode) != 0) {
        throw PosixError(target_path, FileAction::kSetPermissions, errno);
      }
      RegisterStaged(dir_fd, staged_name);
    }
    // Only in a folder that root and the running user alone change, for a
    // file of one name: nothing is opened that others chose.
    if (target.exists() && target.st.st_nlink == 1 &&
        target.st.st_size >= kDropOldPagesFrom &&
        target.folder_sharing == Sharing::kPrivate && !target.bound()) {
      int old_fd = ::open(DescriptorPath(target.fd.get()).c_str(), kReadFlags);
      struct stat opened;
      if (old_fd >= 0 && ::fstat(old_fd, &opened) == 0 &&
          opened.st_ino == target.st.st_ino &&
          opened.st_dev == target.st.st_dev) {
        file->DropOldPagesMeanwhile(old_fd);
      } else if (old_fd >= 0) {
        ::close(old_fd);
      }
    }
    // Leftovers are cleaned only in the catalogued folder itself, never in
    // a folder a link leads to, which may be anybody's, and only those
    // staged for `name` itself: a link to another name there would make
    // them the staged names of that name (".htpasswd.AB12cd" for a link to
    // "htpasswd", say), which may be root's own files.
    if (target.name == name && target.folder_st.st_dev == folder_st.st_dev &&
        target.folder_st.st_ino == folder_st.st_ino) {
      RemoveStaleStaged(file->folder_fd(), folder_st, prefix, staged_name,
                        listed ? &seen : nullptr);
    }
    return file;
  }

  std::string TempDirectory() override {
    const char* tmpdir = std::getenv("TMPDIR");
    std::string directory =
        (tmpdir != nullptr && *tmpdir != '\0') ? tmpdir : "/tmp";
    if (directory.back() != '/') directory += '/';
    return directory;
  }

  std::string CreateUniqueFile(const std::string& directory,
                               std::string_view prefix) override {
    // mkostemps puts the unique part in place of the X's before the suffix.
    constexpr std::string_view kSuffix = ".tmp";
    std::string path = directory;
    path += prefix;
    path += "XXXXXX";
    path += kSuffix;
    int fd = ::mkostemps(path.data(), kSuffix.size(), O_CLOEXEC);
    if (fd < 0) throw PosixError(directory, FileAction::kCreateTemp, errno);
    ::close(fd);
    return path;
  }

 private:
  // The folder that ListFiles listed last, as it was before the listing
  // (its change time moves with every name added or removed, and cannot be
  // set back), and the names there that look staged.
  struct Listed {
    dev_t dev = 0;
    ino_t ino = 0;
    struct timespec changed {};
    std::vector<std::string> staged;
    std::string directory;  // as it was named
  };
  std::mutex listed_mutex_;
  Listed listed_;  // guarded by listed_mutex_
  // The links followed since the last listing: the run's.
  LinkTargets known_links_;

  // A folder is looked up by its path again for its images and its new
  // file: throws when another folder now stands where the listing found
  // `directory` (whoever writes the folder above may swap two of them),
  // so that a catalogue never mixes two folders.
  void CheckStillListed(const std::string& directory, const struct stat& st) {
    std::lock_guard<std::mutex> lock(listed_mutex_);
    if (listed_.directory == directory &&
        (listed_.dev != st.st_dev || listed_.ino != st.st_ino)) {
      throw Error(directory, MessageId::kFolderSwapped);
    }
  }
};

// Under a limit of address space (ulimit -v), glibc's malloc would reserve
// 64 MB of it for each thread's own arena and leave the reads too little:
// there the threads share one arena.
void ShareArenasUnderAddressLimit() {
#ifdef M_ARENA_MAX
  struct rlimit limit;
  if (::getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
    ::mallopt(M_ARENA_MAX, 1);
  }
#endif
}

bool WriteAllTo(FILE* stream, std::string_view text) {
  size_t written = std::fwrite(text.data(), 1, text.size(), stream);
  return std::fflush(stream) == 0 && written == text.size();
}

}  // namespace

Env& Env::Default() {
  static PosixEnv env;
  return env;
}

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

std::string DefaultDirectory(Env& env, std::string_view invoked) {
  std::string program_folder = env.ProgramDirectory();
  const char* path = std::getenv("PATH");
  auto same_folder = [](const std::string& a, const std::string& b) {
    struct stat x, y;
    return ::stat(a.c_str(), &x) == 0 && ::stat(b.c_str(), &y) == 0 &&
           x.st_dev == y.st_dev && x.st_ino == y.st_ino;
  };
  if (!FoundThroughPath(invoked, kSeparators, program_folder,
                        SearchPathFolders(path != nullptr ? path : "", ':'),
                        same_folder)) {
    return program_folder;
  }
  // "." where the working folder has no path that fits (or none at all).
  std::string working(PATH_MAX, '\0');
  if (::getcwd(working.data(), working.size()) == nullptr) return ".";
  working.resize(std::strlen(working.c_str()));
  return working;
}

std::string UserLanguageTag() {
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return value;
  }
  return "";
}

std::string SystemErrorText(int error_number) {
  // PrepareProcess set LC_MESSAGES to the message's language.
  return std::strerror(error_number);
}

void PrepareProcess() {
  ::signal(SIGPIPE, SIG_IGN);
  ::signal(SIGXFSZ, SIG_IGN);
  ShareArenasUnderAddressLimit();
  const char* language = std::setlocale(LC_MESSAGES, "");
  std::string messages = language != nullptr ? language : "";
  // The system's texts are converted to the character set of LC_CTYPE; at
  // "C" that is plain ASCII ("Ung?ltig"). Take the terminal's: LC_CTYPE's
  // as the environment names it, else that of the language's locale. The
  // program's own rules depend on no locale.
  if ((std::setlocale(LC_CTYPE, "") == nullptr ||
       std::string_view(::nl_langinfo(CODESET)) == "ANSI_X3.4-1968") &&
      !messages.empty()) {
    std::setlocale(LC_CTYPE, messages.c_str());
  }
  // The system's texts in the language of the program's messages: the
  // user's locale for German, "C" (English) for any other language.
  // LANGUAGE would give them a language of its own (the program's comes
  // from LC_ALL, LC_MESSAGES and LANG); nothing else reads it, and no
  // thread runs yet.
  if (LanguageOf(UserLanguageTag()) == Language::kEnglish) {
    std::setlocale(LC_MESSAGES, "C");
  }
  ::unsetenv("LANGUAGE");
}

void SystemTextsInEnglish() { std::setlocale(LC_MESSAGES, "C"); }

namespace {

// Moves the calling thread off processor `cpu` where it may run on
// another, then lets it run anywhere it could before: the scheduler leaves
// it where it is while it has work there.
void MoveOffProcessor(int cpu) {
  cpu_set_t allowed;
  if (cpu < 0 || cpu >= CPU_SETSIZE ||
      ::sched_getaffinity(0, sizeof allowed, &allowed) != 0 ||
      !CPU_ISSET(cpu, &allowed) || CPU_COUNT(&allowed) < 2) {
    return;
  }
  cpu_set_t others = allowed;
  CPU_CLR(cpu, &others);
  if (::sched_setaffinity(0, sizeof others, &others) == 0) {
    (void)::sched_setaffinity(0, sizeof allowed, &allowed);
  }
}

// ThreadSanitizer takes a descriptor number for one file in every thread:
// it would report the different files that two tables give one number as
// a race. There the threads share the table, as where unshare is refused.
#if defined(__SANITIZE_THREAD__)
constexpr bool kTableOfItsOwn = false;
#else
constexpr bool kTableOfItsOwn = true;
#endif

}  // namespace

std::thread StartThread(std::function<void()> work) {
  int parent = ::sched_getcpu();
  return std::thread([work = std::move(work), parent] {
    MoveOffProcessor(parent);
    // Where the system refuses, the thread shares the caller's table: slower,
    // the same otherwise.
    if (kTableOfItsOwn) (void)::unshare(CLONE_FILES);
    work();
  });
}

void WriteStandardOutput(std::string_view text, std::string_view /*title*/,
                         std::string_view /*box*/) {
  if (!WriteAllTo(stdout, text)) {
    throw Error("", Message(MessageId::kWriteError,
                            {{"cause", SystemErrorText(errno)}}));
  }
}

void WriteStandardError(std::string_view text, std::string_view /*title*/,
                        std::string_view /*box*/) {
  WriteAllTo(stderr, text);
}

bool StandardOutputIsBox() { return false; }

}  // namespace tevgen
