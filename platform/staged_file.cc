#include "platform/staged_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <random>
#include <thread>

#include "platform/error.h"

namespace tevgen::posix {
namespace {

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

}  // namespace

bool LooksStaged(std::string_view name) {
  return name.size() > kStagedSuffixLength + 1 && name[0] == '.' &&
         name[name.size() - kStagedSuffixLength - 1] == '.' &&
         name.find_first_not_of(kStagedLetters,
                                name.size() - kStagedSuffixLength) ==
             std::string_view::npos;
}

std::unique_ptr<ReplacementFile> StageReplacement(
    const Resolved& target, const std::string& target_path,
    const std::string& name, const struct stat& folder_st,
    const std::vector<std::string>* seen) {
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
    mode_t mode =
        target.exists() ? (target.st.st_mode & 0777) : (0666 & ~CurrentUmask());
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
    RemoveStaleStaged(file->folder_fd(), folder_st, prefix, staged_name, seen);
  }
  return file;
}

}  // namespace tevgen::posix
