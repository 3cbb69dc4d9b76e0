#include "platform/env.h"

namespace tevgen {
namespace {

class JoinedPathFolder : public Folder {
 public:
  JoinedPathFolder(Env* env, std::string directory)
      : env_(env), directory_(std::move(directory)) {}

  std::unique_ptr<RandomAccessFile> OpenFile(std::string_view name) override {
    return env_->OpenFile(env_->JoinPath(directory_, name));
  }

 private:
  Env* env_;
  std::string directory_;
};

}  // namespace

std::unique_ptr<Folder> Env::OpenFolder(const std::string& directory) {
  return std::make_unique<JoinedPathFolder>(this, directory);
}

std::string JoinPathWith(std::string_view directory, std::string_view name,
                         std::string_view separators) {
  std::string path(directory);
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

}  // namespace tevgen
