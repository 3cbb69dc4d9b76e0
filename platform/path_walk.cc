#include "platform/path_walk.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/careful_open.h"
#include "platform/error.h"

namespace tevgen::posix {
namespace {

// The most names one path's walk resolves, its links' targets included:
// deeper than any real folder, and about what the kernel walks for a path
// of PATH_MAX bytes of short names.
constexpr size_t kMostNamesWalked = 1024;

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

// Throws the refusal of a rule, if it made one, naming `error_path()`.
template <typename PathFunction>
void ThrowIfRefused(const std::optional<Message>& refusal,
                    const PathFunction& error_path) {
  if (refusal) throw Error(error_path(), *refusal);
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
    ThrowIfRefused(
        JudgeBoundMay(*out, ObservedOf(out->folder_st), Access::kSearch),
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
    out->folder_sharing = out->start_sharing ? *out->start_sharing
                                             : FolderSharing(start, *start_st);
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
    // Past a link, a name in a folder that others write may be swapped in
    // by them (two folders of root's in a team folder, say).
    BindName(out->folder_on_way(), links > 0, out);
    // A link followed before in this run is taken as its status shows it,
    // with the target it had then: it needs no descriptor to read it by.
    // ("." and ".." are never links.) Looking first pays where links are
    // likely, past a link (a chain of them, say); the first names of a walk
    // are opened at once, and a link among them found known by the status
    // of what was opened.
    struct stat st;
    LinkTargets::Target known;
    bool link_known =
        known_links != nullptr && links > 0 && name != "." && name != ".." &&
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
      link_known = S_ISLNK(st.st_mode) && known_links != nullptr &&
                   known_links->Find(st, &known);
    }
    if (S_ISLNK(st.st_mode)) {
      if (++links > kMaxLinks) return ELOOP;
      // Its owner and whoever writes the folder (who may have moved it
      // there) bind the rest of the way.
      BindLink(out->folder_on_way(), st.st_uid, RunningUser(), out);
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
    // From another user's folder only into theirs; past a binding link only
    // through folders its binders could search.
    ThrowIfRefused(JudgeEntry(*out, ObservedOf(out->folder_st), ObservedOf(st),
                              name == "..", todo.empty(), RunningUser()),
                   error_path);
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
  int fd = ReopenDescriptor(resolved.fd.get(), kReadFlags);
  if (fd < 0) throw OpenError(path, errno);
  *opened = resolved.st;
  return fd;
}

}  // namespace

int ResolvePath(int start, const struct stat* start_st, std::string shown_start,
                std::string_view path, const std::string& error_path,
                LinkTargets* known_links, Resolved* out) {
  return Resolve(
      start, start_st, std::move(shown_start), path,
      [&error_path] { return error_path; }, known_links, out);
}

void CheckReachedFor(const Resolved& resolved, const std::string& path,
                     Use use) {
  Observed reached = ObservedOf(resolved.st);
  if (auto refusal =
          JudgeReachedFor(resolved, use, resolved.exists() ? &reached : nullptr,
                          ObservedOf(resolved.folder_st))) {
    throw Error(path, *refusal);
  }
}

int OpenOrdinaryFile(int dir_fd, const struct stat* dir_st,
                     const std::string& shown_dir, std::string_view path,
                     const std::string& shown, LinkTargets* known_links,
                     struct stat* opened, std::optional<Sharing> dir_sharing) {
  Resolved resolved;
  resolved.start_sharing = dir_sharing;
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

int ReopenFolder(int path_fd) {
  return ::openat(path_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

}  // namespace tevgen::posix
