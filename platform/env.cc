#include "platform/env.h"

#include <algorithm>

namespace tevgen {
std::vector<std::string> Env::ListFiles(const std::string& directory,
                                        const NameFilter& keep) {
  return OpenFolder(directory)->ListFiles(keep);
}

std::unique_ptr<ReplacementFile> Env::NewReplacementFile(
    const std::string& directory, const std::string& name) {
  return OpenFolder(directory)->NewReplacementFile(name);
}

std::string Env::JoinPath(std::string_view directory, std::string_view name) {
  return JoinPathWith(directory, name, Separators());
}

std::string JoinPathWith(std::string_view directory, std::string_view name,
                         std::string_view separators) {
  // Sized once: a run joins a path for every image it opens.
  std::string path;
  path.reserve(directory.size() + 1 + name.size());
  path = directory;
  if (!path.empty() && separators.find(path.back()) == std::string_view::npos) {
    path += separators.front();
  }
  path += name;
  return path;
}

std::string FolderOf(std::string_view path) {
  size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return ".";
  return std::string(slash == 0 ? path.substr(0, 1) : path.substr(0, slash));
}

bool FoundThroughPath(
    std::string_view invoked, std::string_view separators,
    const std::string& program_folder,
    const std::vector<std::string>& path_folders,
    const std::function<bool(const std::string&, const std::string&)>&
        same_folder) {
  size_t last = invoked.find_last_of(separators);
  if (last == std::string_view::npos) return true;
  // Typed by its path, a link in a folder of PATH (/usr/local/bin/tevgen ->
  // /opt/tevgen/bin/tevgen) is as installed as the program it leads to.
  std::string typed_folder(invoked.substr(0, last == 0 ? 1 : last));
  return std::any_of(path_folders.begin(), path_folders.end(),
                     [&](const std::string& folder) {
                       return same_folder(folder, program_folder) ||
                              same_folder(folder, typed_folder);
                     });
}

std::vector<std::string> SearchPathFolders(std::string_view path,
                                           char separator) {
  std::vector<std::string> folders;
  for (;;) {
    size_t end = std::min(path.find(separator), path.size());
    std::string_view entry = path.substr(0, end);
    if (entry.size() >= 2 && entry.front() == '"' && entry.back() == '"') {
      entry = entry.substr(1, entry.size() - 2);
    }
    // "/usr/bin", "C:\Tools", "\\server\share": a root, a drive, a share.
    bool absolute = entry.starts_with('/') || entry.starts_with('\\') ||
                    (entry.size() >= 3 && entry[1] == ':' &&
                     (entry[2] == '\\' || entry[2] == '/'));
    if (absolute) folders.emplace_back(entry);
    if (end == path.size()) break;
    path.remove_prefix(end + 1);
  }
  return folders;
}

}  // namespace tevgen
