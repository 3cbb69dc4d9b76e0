#include "platform/fault_env.h"

#include <algorithm>

namespace tevgen {
namespace {

constexpr const char* kIoError = "Input/output error";

class ShortReadFile : public RandomAccessFile {
 public:
  ShortReadFile(std::unique_ptr<RandomAccessFile> file, size_t chunk)
      : file_(std::move(file)), chunk_(chunk) {}

  uint64_t Size() override { return file_->Size(); }
  size_t ReadAt(uint64_t offset, char* buffer, size_t n) override {
    return file_->ReadAt(offset, buffer, std::min(n, chunk_));
  }
  uint64_t SkipHole(uint64_t offset) override {
    return file_->SkipHole(offset);
  }
  bool ChangedSinceOpened() override { return file_->ChangedSinceOpened(); }
  std::chrono::system_clock::time_point LastChanged() override {
    return file_->LastChanged();
  }

 private:
  std::unique_ptr<RandomAccessFile> file_;
  size_t chunk_;
};

}  // namespace

class FaultReplacementFile : public ReplacementFile {
 public:
  FaultReplacementFile(FaultEnv* env, std::string directory, std::string target,
                       std::unique_ptr<ReplacementFile> file)
      : env_(env),
        directory_(std::move(directory)),
        target_(std::move(target)),
        file_(std::move(file)) {}

  void Append(std::string_view data) override {
    if (env_->write_limit_ && size_ + data.size() > *env_->write_limit_) {
      throw Error(target_, FileAction::kWrite, "No space left on device");
    }
    file_->Append(data);
    size_ += data.size();
  }

  void Commit() override {
    if (!env_->fail_commit_) return file_->Commit();
    if (*env_->fail_commit_ != FileAction::kSyncFolder) {
      throw Error(target_, *env_->fail_commit_, kIoError);
    }
    file_->Commit();
    throw Error(directory_, FileAction::kSyncFolder, kIoError);
  }

 private:
  FaultEnv* env_;
  std::string directory_;
  std::string target_;
  std::unique_ptr<ReplacementFile> file_;
  size_t size_ = 0;
};

// Lists and replaces through the target's Folder, the faults added.
class FaultFolder : public Folder {
 public:
  FaultFolder(FaultEnv* env, std::string directory,
              std::unique_ptr<Folder> folder)
      : env_(env),
        directory_(std::move(directory)),
        folder_(std::move(folder)) {}

  std::vector<std::string> ListFiles(const NameFilter& keep) override {
    return folder_->ListFiles(keep);
  }

  std::unique_ptr<RandomAccessFile> OpenFile(std::string_view name) override {
    return env_->Opened(env_->JoinPath(directory_, name),
                        folder_->OpenFile(name));
  }

  std::unique_ptr<ReplacementFile> NewReplacementFile(
      const std::string& name) override {
    return std::make_unique<FaultReplacementFile>(
        env_, directory_, env_->JoinPath(directory_, name),
        folder_->NewReplacementFile(name));
  }

 private:
  FaultEnv* env_;
  std::string directory_;
  std::unique_ptr<Folder> folder_;
};

std::unique_ptr<RandomAccessFile> FaultEnv::Opened(
    const std::string& path, std::unique_ptr<RandomAccessFile> file) {
  if (file && unreadable_.count(path)) {
    throw Error(path, FileAction::kOpen, "Permission denied");
  }
  if (!file || !read_chunk_) return file;
  return std::make_unique<ShortReadFile>(std::move(file), *read_chunk_);
}

std::unique_ptr<Folder> FaultEnv::OpenFolder(const std::string& directory) {
  return std::make_unique<FaultFolder>(this, directory,
                                       target_.OpenFolder(directory));
}

std::unique_ptr<RandomAccessFile> FaultEnv::OpenFile(const std::string& path) {
  return Opened(path, target_.OpenFile(path));
}

std::string FaultEnv::TempDirectory() {
  ++temp_directory_lookups_;
  if (fail_temp_directory_) {
    throw Error("", FileAction::kFindTempFolder, "none is set");
  }
  return target_.TempDirectory();
}

}  // namespace tevgen
