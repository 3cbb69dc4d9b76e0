// The floor for a catalogue run: what any program that catalogues a folder
// must do at the least. It lists the folder and, for every file whose name
// ends in ".svg", opens it, takes its size, reads it whole into one reused
// buffer and closes it. Nothing is parsed and nothing is written.
//
//   read_floor DIR
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: read_floor DIR\n");
    return 2;
  }
  std::string directory = argv[1];
  DIR* dir = ::opendir(directory.c_str());
  if (dir == nullptr) return 1;
  std::vector<char> buffer;
  size_t bytes = 0;
  while (const struct dirent* entry = ::readdir(dir)) {
    size_t length = std::strlen(entry->d_name);
    if (length < 4 || std::strcmp(entry->d_name + length - 4, ".svg") != 0) {
      continue;
    }
    std::string path = directory + "/" + entry->d_name;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat st;
    if (::fstat(fd, &st) == 0) {
      if (buffer.size() < static_cast<size_t>(st.st_size)) {
        buffer.resize(static_cast<size_t>(st.st_size));
      }
      size_t filled = 0;
      while (filled < static_cast<size_t>(st.st_size)) {
        ssize_t got = ::read(fd, buffer.data() + filled,
                             static_cast<size_t>(st.st_size) - filled);
        if (got <= 0) break;
        filled += static_cast<size_t>(got);
      }
      bytes += filled;
    }
    ::close(fd);
  }
  ::closedir(dir);
  // Printing the total keeps the reads from being optimised away.
  std::printf("%zu\n", bytes);
  return 0;
}
