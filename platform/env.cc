#include "platform/env.h"

namespace tevgen {
namespace {

class JoinedPathFolder : public Folder {
 public:
  JoinedPathFolder(Env* env, std::string directory)
      : env_(env),
        path_(env->JoinPath(directory, "")),
        folder_length_(path_.size()) {}

  bool ReadFile(std::string_view name, FileBuffer* contents) override {
    path_.resize(folder_length_);
    path_ += name;
    return env_->ReadFile(path_, contents);
  }

 private:
  Env* env_;
  std::string path_;  // The folder and separator, then the current name.
  size_t folder_length_;
};

}  // namespace

std::unique_ptr<Folder> Env::OpenFolder(const std::string& directory) {
  return std::make_unique<JoinedPathFolder>(this, directory);
}

}  // namespace tevgen
