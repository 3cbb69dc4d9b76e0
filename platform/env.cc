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

}  // namespace tevgen
