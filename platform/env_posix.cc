// Env on Linux and other POSIX systems.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/env.h"
#include "platform/error.h"

namespace tevgen {
namespace {

std::string ErrnoText(int error_number) { return std::strerror(error_number); }

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
  // Closes now and reports whether the close succeeded.
  bool Close() {
    int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

// Opens `name` (relative to the folder `dir_fd`, or to the working folder
// with AT_FDCWD) for reading if it names an ordinary file, links followed,
// and stores its size in `*size` when that is not null. Returns -1 when it
// does not; throws when it does but cannot be opened, naming the file by
// `path()`, which is called only then. O_NONBLOCK keeps a FIFO named like
// an image from blocking the open; it has no effect on ordinary files.
template <typename PathFunction>
int OpenOrdinaryFile(int dir_fd, const char* name, const PathFunction& path,
                     size_t* size = nullptr) {
  int fd = ::openat(dir_fd, name, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
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
    throw Error(path(), "cannot open the file: " + ErrnoText(error_number));
  }
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return -1;
  }
  if (size != nullptr) *size = static_cast<size_t>(st.st_size);
  return fd;
}

int OpenOrdinaryFile(const std::string& path, size_t* size = nullptr) {
  return OpenOrdinaryFile(
      AT_FDCWD, path.c_str(), [&path] { return path; }, size);
}

// Reads the `size` bytes of the open file `fd` into `contents` (fewer if the
// file shrank meanwhile), closing it on every path.
template <typename PathFunction>
void ReadOpenFile(int raw_fd, size_t size, FileBuffer* contents,
                  const PathFunction& path) {
  ScopedFd fd(raw_fd);
  // One buffer of the file's length at this moment, filled from the start.
  char* data = contents->Prepare(size);
  size_t filled = 0;
  while (filled < size) {
    ssize_t got = ::read(fd.get(), data + filled, size - filled);
    if (got < 0) {
      if (errno == EINTR) continue;
      int error_number = errno;
      contents->Clear();
      throw Error(path(), "cannot read the file: " + ErrnoText(error_number));
    }
    if (got == 0) break;  // The file shrank since fstat.
    filled += static_cast<size_t>(got);
  }
  contents->Truncate(filled);
}

// A folder held open, its files opened relative to it.
class PosixFolder : public Folder {
 public:
  PosixFolder(std::string directory, int fd)
      : directory_(std::move(directory)), fd_(fd) {}

  bool ReadFile(std::string_view name, FileBuffer* contents) override {
    contents->Clear();
    std::string name_text(name);
    auto path = [&] {
      return directory_ + (directory_.ends_with('/') ? "" : "/") + name_text;
    };
    size_t size = 0;
    int fd = OpenOrdinaryFile(fd_.get(), name_text.c_str(), path, &size);
    if (fd < 0) return false;
    ReadOpenFile(fd, size, contents, path);
    return true;
  }

 private:
  std::string directory_;
  ScopedFd fd_;
};

class PosixSequentialFile : public SequentialFile {
 public:
  PosixSequentialFile(std::string path, int fd)
      : path_(std::move(path)), fd_(fd) {}

  size_t Read(char* buffer, size_t n) override {
    for (;;) {
      ssize_t got = ::read(fd_.get(), buffer, n);
      if (got >= 0) return static_cast<size_t>(got);
      if (errno != EINTR) {
        throw Error(path_, "cannot read the file: " + ErrnoText(errno));
      }
    }
  }

 private:
  std::string path_;
  ScopedFd fd_;
};

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
      throw Error(path, "cannot write the catalogue: " + ErrnoText(errno));
    }
    data.remove_prefix(static_cast<size_t>(written));
  }
}

// A run stopped by SIGINT, SIGTERM or SIGHUP removes its staged catalogue
// before it ends, as a run stopped by an error does. (SIGKILL cannot be
// caught; it leaves a hidden file that no run lists.) The process stages
// one catalogue at a time, so one slot is enough.
char staged_for_signals[PATH_MAX];
volatile sig_atomic_t has_staged_for_signals = 0;
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

void RemoveStagedAndStop(int signal_number) {
  if (has_staged_for_signals) ::unlink(staged_for_signals);
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

void RegisterStaged(const std::string& path) {
  if (path.size() >= sizeof staged_for_signals) return;
  std::memcpy(staged_for_signals, path.c_str(), path.size() + 1);
  has_staged_for_signals = 1;
  for (int signal_number : kStopSignals) {
    struct sigaction current;
    // A signal the caller chose to ignore (nohup) stays ignored.
    if (::sigaction(signal_number, nullptr, &current) == 0 &&
        current.sa_handler == SIG_DFL) {
      ::signal(signal_number, RemoveStagedAndStop);
    }
  }
}

void UnregisterStaged() { has_staged_for_signals = 0; }

// The folder part of `path`: "/" for a file at the root, "." for a bare name.
std::string FolderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

class PosixReplacementFile : public ReplacementFile {
 public:
  PosixReplacementFile(std::string directory, std::string target,
                       std::string staged, int fd)
      : directory_(std::move(directory)),
        target_(std::move(target)),
        staged_(std::move(staged)),
        fd_(fd) {}

  ~PosixReplacementFile() override {
    if (!committed_) ::unlink(staged_.c_str());
    UnregisterStaged();
  }

  void Append(std::string_view data) override {
    WriteAll(fd_.get(), data, target_);
  }

  void Commit() override {
    if (::fsync(fd_.get()) != 0) {
      throw Error(target_,
                  "cannot write the catalogue to disk: " + ErrnoText(errno));
    }
    // A failing close can be the first report of a lost write (NFS).
    if (!fd_.Close()) {
      throw Error(target_, "cannot write the catalogue: " + ErrnoText(errno));
    }
    if (::rename(staged_.c_str(), target_.c_str()) != 0) {
      throw Error(target_, "cannot replace the catalogue: " + ErrnoText(errno));
    }
    committed_ = true;
    UnregisterStaged();
    SyncDirectory();
  }

 private:
  // Makes the rename itself durable. File systems that cannot sync a folder
  // say so with EINVAL; there is nothing more to do on them.
  void SyncDirectory() {
    ScopedFd dir(
        ::open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0) return;
    if (::fsync(dir.get()) != 0 && errno != EINVAL) {
      throw Error(directory_,
                  "the catalogue was replaced, but the folder could not be "
                  "written to disk: " +
                      ErrnoText(errno));
    }
  }

  std::string directory_;
  std::string target_;
  std::string staged_;
  ScopedFd fd_;
  bool committed_ = false;
};

class PosixEnv : public Env {
 public:
  std::string ProgramDirectory() override {
    std::string path(PATH_MAX, '\0');
    ssize_t length = ::readlink("/proc/self/exe", path.data(), path.size());
    if (length <= 0 || static_cast<size_t>(length) >= path.size()) {
      throw Error("/proc/self/exe",
                  "cannot find the program's own folder: " + ErrnoText(errno));
    }
    path.resize(static_cast<size_t>(length));
    return FolderOf(path);
  }

  std::string JoinPath(std::string_view directory,
                       std::string_view name) override {
    std::string path(directory);
    if (!path.empty() && path.back() != '/') path += '/';
    path += name;
    return path;
  }

  std::vector<std::string> ListFiles(const std::string& directory,
                                     const NameFilter& keep) override {
    DIR* dir = ::opendir(directory.c_str());
    if (dir == nullptr) {
      throw Error(directory, "cannot list the folder: " + ErrnoText(errno));
    }
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
      throw Error(directory,
                  "cannot list the folder: " + ErrnoText(error_number));
    }
    return names;
  }

  bool ReadFile(const std::string& path, FileBuffer* contents) override {
    contents->Clear();
    size_t size = 0;
    int fd = OpenOrdinaryFile(path, &size);
    if (fd < 0) return false;
    ReadOpenFile(fd, size, contents, [&path] { return path; });
    return true;
  }

  std::unique_ptr<Folder> OpenFolder(const std::string& directory) override {
    int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
      throw Error(directory, "cannot open the folder: " + ErrnoText(errno));
    }
    return std::make_unique<PosixFolder>(directory, fd);
  }

  std::unique_ptr<SequentialFile> OpenSequential(
      const std::string& path) override {
    int fd = OpenOrdinaryFile(path);
    if (fd < 0) return nullptr;
    return std::make_unique<PosixSequentialFile>(path, fd);
  }

  std::unique_ptr<ReplacementFile> NewReplacementFile(
      const std::string& directory, const std::string& name) override {
    std::string target = FollowLinks(JoinPath(directory, name));
    std::string target_folder = FolderOf(target);
    mode_t mode = 0666 & ~CurrentUmask();
    struct stat st;
    if (::stat(target.c_str(), &st) == 0) {
      if (::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) {
        throw Error(target,
                    "cannot replace the catalogue: " + ErrnoText(errno));
      }
      mode = st.st_mode & 07777;
    }
    // The staged name is hidden and does not end in ".svg", so no run,
    // this one or another one in the same folder, ever lists it.
    std::string staged_name = ".";
    staged_name.append(target, target.rfind('/') + 1);
    staged_name += ".XXXXXX";
    std::string staged = JoinPath(target_folder, staged_name);
    StopSignalsBlocked blocked;
    int fd = ::mkostemp(staged.data(), O_CLOEXEC);
    if (fd < 0) {
      throw Error(
          target_folder,
          "cannot write a new catalogue in the folder: " + ErrnoText(errno));
    }
    if (::fchmod(fd, mode) != 0) {
      int error_number = errno;
      ::close(fd);
      ::unlink(staged.c_str());
      throw Error(target, "cannot set the catalogue's permissions: " +
                              ErrnoText(error_number));
    }
    RegisterStaged(staged);
    return std::make_unique<PosixReplacementFile>(target_folder, target, staged,
                                                  fd);
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
    std::string path = directory;
    path += prefix;
    path += "XXXXXX.tmp";
    int fd = ::mkostemps(path.data(), 4, O_CLOEXEC);
    if (fd < 0) {
      throw Error(directory,
                  "cannot create a temporary file: " + ErrnoText(errno));
    }
    ::close(fd);
    return path;
  }

 private:
  // Follows `path` through symbolic links to the file they lead to, which
  // need not exist yet. The catalogue is replaced there, as writing through
  // the link would replace it, so that a link the user set up (into a
  // gallery's folder, say) stays a link and its target gets the catalogue.
  std::string FollowLinks(const std::string& path) {
    constexpr int kMaxLinks = 40;  // the kernel's own limit
    std::string current = path;
    std::string target;
    for (int followed = 0; followed <= kMaxLinks; ++followed) {
      target.assign(PATH_MAX, '\0');
      ssize_t length =
          ::readlink(current.c_str(), target.data(), target.size());
      if (length < 0) return current;  // not a link, or nothing there
      if (static_cast<size_t>(length) >= target.size()) {
        throw Error(path,
                    "cannot replace the catalogue: " + ErrnoText(ENAMETOOLONG));
      }
      target.resize(static_cast<size_t>(length));
      current = (!target.empty() && target[0] == '/')
                    ? target
                    : JoinPath(FolderOf(current), target);
    }
    throw Error(path, "cannot replace the catalogue: " + ErrnoText(ELOOP));
  }

  bool IsOrdinaryFile(const std::string& directory, std::string_view name) {
    struct stat st;
    return ::stat(JoinPath(directory, name).c_str(), &st) == 0 &&
           S_ISREG(st.st_mode);
  }
};

void WriteAllTo(FILE* stream, std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

}  // namespace

Env& Env::Default() {
  static PosixEnv env;
  return env;
}

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

void WriteStandardOutput(std::string_view text) { WriteAllTo(stdout, text); }

void WriteStandardError(std::string_view text) { WriteAllTo(stderr, text); }

void ReportError(std::string_view line, std::string_view /*title*/) {
  std::string text(line);
  text += '\n';
  WriteStandardError(text);
}

}  // namespace tevgen
