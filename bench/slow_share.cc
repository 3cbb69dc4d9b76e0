// A network share for the benchmark: mounts the folder SOURCE at MOUNTPOINT
// through FUSE and delays every request by DELAY microseconds, as a share
// that is a round trip away does. Requests are served concurrently, as a
// file server serves them, so a client that overlaps its requests gains as
// it would on a real share.
//
//   slow_share SOURCE MOUNTPOINT DELAY [FUSE options, e.g. -f]
#define FUSE_USE_VERSION 35
#include <dirent.h>
#include <fcntl.h>
#include <fuse.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::string source;
useconds_t delay_us = 0;

// Every request pays the delay, then runs on the source folder.
std::string Real(const char* path) {
  if (delay_us > 0) ::usleep(delay_us);
  return source + path;
}

int Result(int value) { return value < 0 ? -errno : value; }

int GetAttr(const char* path, struct stat* st, fuse_file_info* fi) {
  std::string real = Real(path);
  return Result(fi != nullptr ? ::fstat(static_cast<int>(fi->fh), st)
                              : ::lstat(real.c_str(), st));
}

int ReadLink(const char* path, char* buffer, size_t size) {
  ssize_t length = ::readlink(Real(path).c_str(), buffer, size - 1);
  if (length < 0) return -errno;
  buffer[length] = '\0';
  return 0;
}

int ReadDir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t,
            fuse_file_info*, fuse_readdir_flags) {
  DIR* dir = ::opendir(Real(path).c_str());
  if (dir == nullptr) return -errno;
  while (const struct dirent* entry = ::readdir(dir)) {
    struct stat st = {};
    st.st_ino = entry->d_ino;
    st.st_mode = static_cast<mode_t>(DTTOIF(entry->d_type));
    if (fill(buffer, entry->d_name, &st, 0,
             static_cast<fuse_fill_dir_flags>(0))) {
      break;
    }
  }
  ::closedir(dir);
  return 0;
}

int Unlink(const char* path) { return Result(::unlink(Real(path).c_str())); }

int Symlink(const char* target, const char* path) {
  return Result(::symlink(target, Real(path).c_str()));
}

int Rename(const char* from, const char* to, unsigned int flags) {
  if (flags != 0) return -EINVAL;
  std::string real_from = Real(from);
  return Result(::rename(real_from.c_str(), (source + to).c_str()));
}

int Chmod(const char* path, mode_t mode, fuse_file_info* fi) {
  std::string real = Real(path);
  return Result(fi != nullptr ? ::fchmod(static_cast<int>(fi->fh), mode)
                              : ::chmod(real.c_str(), mode));
}

int Chown(const char* path, uid_t uid, gid_t gid, fuse_file_info* fi) {
  std::string real = Real(path);
  return Result(fi != nullptr ? ::fchown(static_cast<int>(fi->fh), uid, gid)
                              : ::lchown(real.c_str(), uid, gid));
}

int Truncate(const char* path, off_t size, fuse_file_info* fi) {
  std::string real = Real(path);
  return Result(fi != nullptr ? ::ftruncate(static_cast<int>(fi->fh), size)
                              : ::truncate(real.c_str(), size));
}

int Open(const char* path, fuse_file_info* fi) {
  int fd = ::open(Real(path).c_str(), fi->flags);
  if (fd < 0) return -errno;
  fi->fh = static_cast<uint64_t>(fd);
  return 0;
}

int Create(const char* path, mode_t mode, fuse_file_info* fi) {
  int fd = ::open(Real(path).c_str(), fi->flags, mode);
  if (fd < 0) return -errno;
  fi->fh = static_cast<uint64_t>(fd);
  return 0;
}

int Read(const char* path, char* buffer, size_t size, off_t offset,
         fuse_file_info* fi) {
  Real(path);
  ssize_t got = ::pread(static_cast<int>(fi->fh), buffer, size, offset);
  return got < 0 ? -errno : static_cast<int>(got);
}

int Write(const char* path, const char* buffer, size_t size, off_t offset,
          fuse_file_info* fi) {
  Real(path);
  ssize_t done = ::pwrite(static_cast<int>(fi->fh), buffer, size, offset);
  return done < 0 ? -errno : static_cast<int>(done);
}

int StatFs(const char* path, struct statvfs* st) {
  return Result(::statvfs(Real(path).c_str(), st));
}

int Flush(const char* path, fuse_file_info*) {
  Real(path);
  return 0;
}

int Release(const char*, fuse_file_info* fi) {
  ::close(static_cast<int>(fi->fh));
  return 0;
}

int Fsync(const char* path, int, fuse_file_info* fi) {
  Real(path);
  return Result(::fsync(static_cast<int>(fi->fh)));
}

int Access(const char* path, int mask) {
  return Result(::access(Real(path).c_str(), mask));
}

void* Init(fuse_conn_info*, fuse_config* config) {
  config->use_ino = 1;
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr,
                 "usage: slow_share SOURCE MOUNTPOINT DELAY [FUSE options]\n");
    return 2;
  }
  source = argv[1];
  delay_us = static_cast<useconds_t>(std::atoi(argv[3]));
  fuse_operations operations = {};
  operations.getattr = GetAttr;
  operations.readlink = ReadLink;
  operations.unlink = Unlink;
  operations.symlink = Symlink;
  operations.rename = Rename;
  operations.chmod = Chmod;
  operations.chown = Chown;
  operations.truncate = Truncate;
  operations.open = Open;
  operations.read = Read;
  operations.write = Write;
  operations.statfs = StatFs;
  operations.flush = Flush;
  operations.release = Release;
  operations.fsync = Fsync;
  operations.readdir = ReadDir;
  operations.init = Init;
  operations.access = Access;
  operations.create = Create;
  // FUSE's own arguments: the program's name, the mount point, the rest.
  std::vector<char*> fuse_args = {argv[0], argv[2]};
  for (int i = 4; i < argc; ++i) fuse_args.push_back(argv[i]);
  return fuse_main(static_cast<int>(fuse_args.size()), fuse_args.data(),
                   &operations, nullptr);
}
