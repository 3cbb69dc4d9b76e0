// Env on Linux. Beyond POSIX it uses what Linux and glibc alone have:
// /proc/self/exe (the program's own folder) and /proc/thread-self/fd
// (reopening what a descriptor holds), flock (the staged files' locks),
// mkostemps, sync_file_range and posix_fadvise (writing and dropping
// pages), the access control list's extended attribute (who may write a
// folder), unshare(CLONE_FILES) and the processor affinity calls (reader
// threads), and mallopt (arenas under an address-space limit).
// Another system would need its own ways for those.
// The Env's rooms: path_walk (and folder_owners), staged_file, and
// process_linux.cc; this file is their glue.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>

#include "platform/env.h"
#include "platform/env_linux_internal.h"
#include "platform/error.h"
#include "platform/folder_owners.h"
#include "platform/link_targets.h"
#include "platform/path_walk.h"
#include "platform/sharing_rule.h"
#include "platform/staged_file.h"

namespace tevgen {
namespace {

using namespace posix;

// The folder a run opened, resolved once and held open: listed, its files
// opened and its file replaced relative to it, wherever it is moved. The
// targets of the links on their way are taken from, and added to, what
// its listing and reads found (`links_`).
class PosixFolder : public Folder {
 public:
  PosixFolder(std::string directory, int fd, const struct stat& st)
      : directory_(std::move(directory)),
        fd_(fd),
        st_(st),
        sharing_(FolderSharing(fd, st)),
        known_links_(&links_) {}

  std::vector<std::string> ListFiles(const NameFilter& keep) override;
  std::unique_ptr<RandomAccessFile> OpenFile(std::string_view name) override;
  std::unique_ptr<ReplacementFile> NewReplacementFile(
      const std::string& name) override;

 private:
  std::string directory_;
  ScopedFd fd_;  // O_PATH
  struct stat st_;
  Sharing sharing_;
  LinkTargets links_;
  LinkTargets* known_links_;
  // The names that looked staged in the last listing, and the folder's
  // change time before it (it moves with every name added or removed, and
  // cannot be set back); none before a listing.
  std::optional<struct timespec> listed_changed_;
  std::vector<std::string> listed_staged_;
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
  if (sharing_ == Sharing::kPrivate &&
      name.find('/') == std::string_view::npos) {
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
      return std::make_unique<PosixRandomAccessFile>(std::move(path), fd, st);
    }
    if (errno == ENOENT || errno == ENOTDIR) return nullptr;
    if (errno == EWOULDBLOCK) throw OpenError(path, errno);
    // ELOOP (a link) and the rest go the careful way, which also tells an
    // unreadable FIFO (not an ordinary file) from an unreadable file.
  }
  fd = OpenOrdinaryFile(fd_.get(), &st_, directory_, name, path, known_links_,
                        &opened, sharing_);
  if (fd < 0) return nullptr;
  return std::make_unique<PosixRandomAccessFile>(std::move(path), fd, opened);
}

std::vector<std::string> PosixFolder::ListFiles(const NameFilter& keep) {
  struct stat before;
  int fd = ::fstat(fd_.get(), &before) == 0 ? ReopenFolder(fd_.get()) : -1;
  DIR* dir = fd < 0 ? nullptr : ::fdopendir(fd);
  if (dir == nullptr) {
    int error_number = errno;
    if (fd >= 0) ::close(fd);
    throw PosixError(directory_, FileAction::kListFolder, error_number);
  }
  std::vector<std::string> names;
  std::vector<std::string> staged;
  // A run reads each link's target once: from its listing on.
  links_.Clear();
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
         LeadsToOrdinaryFile(::dirfd(dir), st_, directory_, name, &links_))) {
      names.emplace_back(name);
    }
  }
  int error_number = errno;
  ::closedir(dir);
  if (error_number != 0) {
    throw PosixError(directory_, FileAction::kListFolder, error_number);
  }
  listed_changed_ = before.st_ctim;
  listed_staged_ = std::move(staged);
  return names;
}

// Where `name` is a link, the file it leads to is replaced, as writing
// through the link would replace it, so that a link the user set up (into
// another folder, say) stays a link and its target gets the new content.
std::unique_ptr<ReplacementFile> PosixFolder::NewReplacementFile(
    const std::string& name) {
  std::string path = JoinPathWith(directory_, name, kSeparators);
  struct stat folder_st;
  if (::fstat(fd_.get(), &folder_st) != 0) {
    throw PosixError(directory_, FileAction::kCreateIn, errno);
  }
  Resolved target;
  int error_number = ResolvePath(fd_.get(), &folder_st, directory_, name, path,
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
  // The staged names this Folder's listing saw, while the folder has not
  // changed since (its time before the listing, and now before this run's
  // own staged file): a large folder is not listed a second time.
  bool listed =
      listed_changed_ && SameTime(*listed_changed_, folder_st.st_ctim);
  return StageReplacement(target, target_path, name, folder_st,
                          listed ? &listed_staged_ : nullptr);
}

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

  std::string_view Separators() const override { return kSeparators; }

  // The one walk from "/" of a run: its folder is listed, read and
  // replaced through what this opened.
  std::unique_ptr<Folder> OpenFolder(const std::string& directory) override {
    struct stat st;
    int fd = ResolveFolder(directory, FileAction::kListFolder, &st);
    return std::make_unique<PosixFolder>(directory, fd, st);
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
};

}  // namespace

Env& Env::Default() {
  static PosixEnv env;
  return env;
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

}  // namespace tevgen
