// Env on Linux. It uses POSIX calls, and beyond them /proc/self/exe to find
// the program's own folder, flock for the staged files' locks and
// mkostemps; another system would need its own ways for those.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

#include "platform/env.h"
#include "platform/error.h"

namespace tevgen {
namespace {

// The one way this Env turns a failed system call into an Error.
Error PosixError(std::string path, FileAction action, int error_number) {
  return Error(std::move(path), action, std::strerror(error_number));
}

constexpr std::string_view kSeparators = "/";

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
  // Closes now and reports whether the close succeeded.
  bool Close() { return ::close(Release()) == 0; }

 private:
  int fd_;
};

// Whether links in a folder owned by `owner` may be followed freely: only
// in a folder of the running user's own. In anybody else's folder (an upload
// folder that root reads, say) a link is followed only when it cannot
// lead from its owner's files to another user's: the link belongs to root,
// or to the owner of what it leads to.
bool TrustsLinksIn(uid_t owner) { return owner == ::geteuid(); }

bool LinkMayLeadTo(uid_t link_owner, uid_t target_owner) {
  return link_owner == 0 || link_owner == target_owner;
}

std::string LinkRefusal(uid_t link_owner, uid_t target_owner,
                        const char* target_kind) {
  return "not following a link of user " + std::to_string(link_owner) +
         " to a " + target_kind + " of user " + std::to_string(target_owner);
}

// Opens `name` (relative to the folder `dir_fd`, or to the working folder
// with AT_FDCWD) for reading if it names an ordinary file, links followed,
// and stores its size in `*size`. Returns -1 when it does not; throws when
// it does but cannot be opened, naming the file by `path()`, which is called
// only then. O_NONBLOCK keeps a FIFO from blocking the open; it has no effect
// on ordinary files. Unless `trust_links`, a link is followed only as
// LinkMayLeadTo allows.
template <typename PathFunction>
int OpenOrdinaryFile(int dir_fd, const char* name, const PathFunction& path,
                     uint64_t* size, bool trust_links = true) {
  constexpr int kFlags = O_RDONLY | O_CLOEXEC | O_NONBLOCK;
  struct stat link;
  bool is_link = false;
  int fd = ::openat(dir_fd, name, kFlags | (trust_links ? 0 : O_NOFOLLOW));
  if (fd < 0 && !trust_links && errno == ELOOP &&
      ::fstatat(dir_fd, name, &link, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISLNK(link.st_mode)) {
    is_link = true;
    fd = ::openat(dir_fd, name, kFlags);
  }
  if (fd < 0) {
    int error_number = errno;
    if (error_number == ENOENT || error_number == ENOTDIR ||
        error_number == ELOOP) {
      return -1;
    }
    struct stat st;
    if (::fstatat(dir_fd, name, &st, 0) == 0 && !S_ISREG(st.st_mode)) {
      return -1;
    }
    throw PosixError(path(), FileAction::kOpen, error_number);
  }
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return -1;
  }
  if (is_link) {
    // The link seen must be the link opened: one swapped in between by its
    // owner would have been checked against the wrong file.
    struct stat again;
    bool same = ::fstatat(dir_fd, name, &again, AT_SYMLINK_NOFOLLOW) == 0 &&
                again.st_ino == link.st_ino && again.st_dev == link.st_dev;
    if (!same || !LinkMayLeadTo(link.st_uid, st.st_uid)) {
      ::close(fd);
      throw Error(path(), LinkRefusal(link.st_uid, st.st_uid, "file"));
    }
  }
  *size = static_cast<uint64_t>(st.st_size);
  return fd;
}

// A folder held open, its files opened relative to it.
class PosixFolder : public Folder {
 public:
  PosixFolder(std::string directory, int fd, bool trust_links)
      : directory_(std::move(directory)), fd_(fd), trust_links_(trust_links) {}

  std::unique_ptr<RandomAccessFile> OpenFile(std::string_view name) override;

 private:
  std::string directory_;
  ScopedFd fd_;
  bool trust_links_;
};

class PosixRandomAccessFile : public RandomAccessFile {
 public:
  PosixRandomAccessFile(std::string path, int fd, uint64_t size)
      : path_(std::move(path)), fd_(fd), size_(size) {}

  uint64_t Size() override { return size_; }

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
  uint64_t size_;
};

std::unique_ptr<RandomAccessFile> PosixFolder::OpenFile(std::string_view name) {
  std::string name_text(name);
  auto path = [&] { return JoinPathWith(directory_, name, kSeparators); };
  uint64_t size = 0;
  int fd =
      OpenOrdinaryFile(fd_.get(), name_text.c_str(), path, &size, trust_links_);
  if (fd < 0) return nullptr;
  return std::make_unique<PosixRandomAccessFile>(path(), fd, size);
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
// write errors. A process stopped by one removes its staged file first, as
// one that fails does.
constexpr int kStopSignals[] = {SIGHUP,  SIGINT,  SIGQUIT,   SIGTERM, SIGUSR1,
                                SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU};

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
    for (int signal_number : kStopSignals) sigaddset(&blocked, signal_number);
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
  for (int signal_number : kStopSignals) {
    struct sigaction current;
    // A signal the caller chose to ignore (nohup) stays ignored.
    if (::sigaction(signal_number, nullptr, &current) == 0 &&
        current.sa_handler == SIG_DFL) {
      ::signal(signal_number, RemoveStagedAndStop);
    }
  }
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

// A staged file is named `prefix` and this many random letters and digits.
constexpr size_t kStagedSuffixLength = 6;

// Creates a staged file under a new name that begins with `prefix` in the
// folder `dir_fd`, and locks it for as long as it is open: a later process
// removes only the staged files it can lock, the leftovers of killed ones.
// Returns the descriptor, or -1 with errno set.
int CreateStaged(int dir_fd, const std::string& prefix, std::string* name) {
  static constexpr std::string_view kLetters =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
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

// Removes the staged files (named `prefix` and a suffix) that processes
// killed before they could remove them left in the folder `dir_fd`. A live
// process holds a lock on its own, so only unlocked ones go.
void RemoveStaleStaged(int dir_fd, const std::string& prefix,
                       const std::string& own) {
  DIR* dir =
      ::fdopendir(::openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir == nullptr) return;
  while (const struct dirent* entry = ::readdir(dir)) {
    std::string_view name = entry->d_name;
    if (name.size() != prefix.size() + kStagedSuffixLength ||
        !name.starts_with(prefix) || name == own) {
      continue;
    }
    std::string stale(name);
    ScopedFd fd(::openat(dir_fd, stale.c_str(),
                         O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    if (fd.get() >= 0 && ::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) &&
        ::flock(fd.get(), LOCK_EX | LOCK_NB) == 0 &&
        StillNamed(dir_fd, stale, fd.get())) {
      ::unlinkat(dir_fd, stale.c_str(), 0);
    }
  }
  ::closedir(dir);
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
  PosixReplacementFile(std::string folder, int dir_fd, std::string target,
                       std::string staged_name, int fd)
      : folder_(std::move(folder)),
        dir_fd_(dir_fd),
        target_(std::move(target)),
        target_name_(target_.substr(target_.rfind('/') + 1)),
        staged_name_(std::move(staged_name)),
        fd_(fd),
        lock_fd_(::dup(fd)) {}

  int folder_fd() const { return dir_fd_.get(); }

  ~PosixReplacementFile() override {
    if (!committed_) ::unlinkat(dir_fd_.get(), staged_name_.c_str(), 0);
    UnregisterStaged();
  }

  void Append(std::string_view data) override {
    WriteAll(fd_.get(), data, target_);
  }

  void Commit() override {
    if (::fsync(fd_.get()) != 0) {
      throw PosixError(target_, FileAction::kSync, errno);
    }
    // A failing close can be the first report of a lost write (NFS). The
    // lock stays on the duplicate until the rename is done.
    if (!fd_.Close()) throw PosixError(target_, FileAction::kWrite, errno);
    if (::renameat(dir_fd_.get(), staged_name_.c_str(), dir_fd_.get(),
                   target_name_.c_str()) != 0) {
      throw PosixError(target_, FileAction::kReplace, errno);
    }
    committed_ = true;
    UnregisterStaged();
    lock_fd_.Close();
    SyncDirectory();
  }

 private:
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
  bool committed_ = false;
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
    DIR* dir = ::opendir(directory.c_str());
    if (dir == nullptr)
      throw PosixError(directory, FileAction::kListFolder, errno);
    std::vector<std::string> names;
    for (;;) {
      errno = 0;
      const struct dirent* entry = ::readdir(dir);
      if (entry == nullptr) break;
      std::string_view name = entry->d_name;
      // Names beginning with "." are hidden here, by convention.
      if (name.empty() || name[0] == '.' || !keep(name)) continue;
      if (entry->d_type == DT_REG ||
          (entry->d_type != DT_DIR && IsOrdinaryFile(directory, name))) {
        names.emplace_back(name);
      }
    }
    int error_number = errno;
    ::closedir(dir);
    if (error_number != 0) {
      throw PosixError(directory, FileAction::kListFolder, error_number);
    }
    return names;
  }

  std::unique_ptr<Folder> OpenFolder(const std::string& directory) override {
    int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0) {
      int error_number = errno;
      if (fd >= 0) ::close(fd);
      throw PosixError(directory, FileAction::kOpenFolder, error_number);
    }
    return std::make_unique<PosixFolder>(directory, fd,
                                         TrustsLinksIn(st.st_uid));
  }

  std::unique_ptr<RandomAccessFile> OpenFile(const std::string& path) override {
    uint64_t size = 0;
    int fd = OpenOrdinaryFile(
        AT_FDCWD, path.c_str(), [&path] { return path; }, &size);
    if (fd < 0) return nullptr;
    return std::make_unique<PosixRandomAccessFile>(path, fd, size);
  }

  std::unique_ptr<ReplacementFile> NewReplacementFile(
      const std::string& directory, const std::string& name) override {
    std::string path = JoinPath(directory, name);
    struct stat folder_st;
    bool trust_links = ::stat(directory.c_str(), &folder_st) != 0 ||
                       TrustsLinksIn(folder_st.st_uid);
    std::vector<uid_t> link_owners;
    std::string target = FollowLinks(path, &link_owners);
    std::string target_folder = FolderOf(target);
    std::string target_name = target.substr(target.rfind('/') + 1);

    ScopedFd dir(
        ::open(target_folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0) {
      throw PosixError(target_folder, FileAction::kCreateIn, errno);
    }
    // What the links lead to is judged by the folder held open, so that no
    // link swapped in meanwhile can point the new file elsewhere.
    struct stat old;
    bool exists = ::fstatat(dir.get(), target_name.c_str(), &old,
                            AT_SYMLINK_NOFOLLOW) == 0;
    if (!trust_links) {
      struct stat reached = old;
      if (!exists) ::fstat(dir.get(), &reached);
      for (uid_t link_owner : link_owners) {
        if (!LinkMayLeadTo(link_owner, reached.st_uid)) {
          throw Error(path, LinkRefusal(link_owner, reached.st_uid,
                                        exists ? "file" : "folder"));
        }
      }
    }
    if (exists) {
      // Renaming over a device or a FIFO would replace it.
      if (!S_ISREG(old.st_mode)) {
        throw Error(target, FileAction::kReplace, "it is not an ordinary file");
      }
      if (::faccessat(dir.get(), target_name.c_str(), W_OK, AT_EACCESS) != 0) {
        throw PosixError(target, FileAction::kReplace, errno);
      }
    }

    // The staged name begins with ".", so no listing (ListFiles) shows it.
    std::string prefix = "." + target_name + ".";
    std::string staged_name;
    std::unique_ptr<PosixReplacementFile> file;
    {
      StopSignalsBlocked blocked;
      int fd = CreateStaged(dir.get(), prefix, &staged_name);
      if (fd < 0) throw PosixError(target_folder, FileAction::kCreateIn, errno);
      file = std::make_unique<PosixReplacementFile>(target_folder, dir.get(),
                                                    target, staged_name, fd);
      int dir_fd = dir.Release();
      if (exists) KeepOwner(fd, old);
      // Only the permission bits: never setuid, setgid or sticky.
      mode_t mode = exists ? (old.st_mode & 0777) : (0666 & ~CurrentUmask());
      if (::fchmod(fd, mode) != 0) {
        throw PosixError(target, FileAction::kSetPermissions, errno);
      }
      RegisterStaged(dir_fd, staged_name);
    }
    RemoveStaleStaged(file->folder_fd(), prefix, staged_name);
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
  // Follows `path` through symbolic links to the file they lead to, which
  // need not exist yet, and adds the owner of every link on the way to
  // `link_owners`. The file is replaced there, as writing through the link
  // would replace it, so that a link the user set up (into another folder,
  // say) stays a link and its target gets the new content.
  std::string FollowLinks(const std::string& path,
                          std::vector<uid_t>* link_owners) {
    constexpr int kMaxLinks = 40;  // the kernel's own limit
    std::string current = path;
    std::string target;
    for (int followed = 0; followed <= kMaxLinks; ++followed) {
      struct stat link;
      if (::lstat(current.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) {
        return current;  // not a link, or nothing there
      }
      target.assign(PATH_MAX, '\0');
      ssize_t length =
          ::readlink(current.c_str(), target.data(), target.size());
      if (length < 0) return current;  // replaced meanwhile
      if (static_cast<size_t>(length) >= target.size()) {
        throw PosixError(path, FileAction::kReplace, ENAMETOOLONG);
      }
      target.resize(static_cast<size_t>(length));
      link_owners->push_back(link.st_uid);
      current = (!target.empty() && target[0] == '/')
                    ? target
                    : JoinPath(FolderOf(current), target);
    }
    throw PosixError(path, FileAction::kReplace, ELOOP);
  }

  bool IsOrdinaryFile(const std::string& directory, std::string_view name) {
    struct stat st;
    return ::stat(JoinPath(directory, name).c_str(), &st) == 0 &&
           S_ISREG(st.st_mode);
  }
};

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

std::string UserLanguageTag() {
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return value;
  }
  return "";
}

void PrepareProcess() {
  ::signal(SIGPIPE, SIG_IGN);
  ::signal(SIGXFSZ, SIG_IGN);
  std::setlocale(LC_MESSAGES, "");
}

void WriteStandardOutput(std::string_view text, std::string_view /*title*/,
                         std::string_view /*box*/) {
  if (!WriteAllTo(stdout, text)) {
    throw Error("", std::string("write error: ") + std::strerror(errno));
  }
}

void WriteStandardError(std::string_view text, std::string_view /*title*/,
                        std::string_view /*box*/) {
  WriteAllTo(stderr, text);
}

}  // namespace tevgen
