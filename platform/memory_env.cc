#include "platform/memory_env.h"

#include <algorithm>

#include "platform/error.h"

namespace tevgen {
namespace {

class MemoryRandomAccessFile : public RandomAccessFile {
 public:
  MemoryRandomAccessFile(std::string contents, size_t chunk)
      : contents_(std::move(contents)), chunk_(chunk) {}

  uint64_t Size() override { return contents_.size(); }

  size_t ReadAt(uint64_t offset, char* buffer, size_t n) override {
    if (offset >= contents_.size()) return 0;
    size_t count = std::min({n, chunk_, contents_.size() - offset});
    std::copy_n(contents_.data() + offset, count, buffer);
    return count;
  }

  // The file is a copy taken when it was opened: it has no holes and never
  // changes.
  uint64_t SkipHole(uint64_t offset) override { return offset; }
  bool ChangedSinceOpened() override { return false; }

 private:
  std::string contents_;
  size_t chunk_;
};

}  // namespace

class MemoryReplacementFile : public ReplacementFile {
 public:
  MemoryReplacementFile(MemoryEnv* env, std::string target)
      : env_(env), target_(std::move(target)) {
    ++env_->open_replacements_;
  }
  ~MemoryReplacementFile() override { --env_->open_replacements_; }

  void Append(std::string_view data) override {
    if (env_->write_limit_ &&
        staged_.size() + data.size() > *env_->write_limit_) {
      throw Error(target_, FileAction::kWrite, "No space left on device");
    }
    staged_ += data;
  }

  void Commit() override {
    if (env_->fail_commit_) {
      throw Error(target_, *env_->fail_commit_, "Input/output error");
    }
    env_->files_[target_] = staged_;
  }

 private:
  MemoryEnv* env_;
  std::string target_;
  std::string staged_;
};

MemoryEnv::MemoryEnv(std::string program_directory)
    : program_directory_(std::move(program_directory)) {
  AddDirectory(program_directory_);
}

void MemoryEnv::AddDirectory(const std::string& directory) {
  directories_.insert(directory);
}

void MemoryEnv::AddFile(const std::string& path, std::string contents) {
  AddDirectory(FolderOf(path));
  files_[path] = std::move(contents);
}

void MemoryEnv::AddUnreadableFile(const std::string& path) {
  AddFile(path, "");
  unreadable_.insert(path);
}

void MemoryEnv::AddHiddenFile(const std::string& path, std::string contents) {
  AddFile(path, std::move(contents));
  hidden_.insert(path);
}

void MemoryEnv::RemoveFile(const std::string& path) { files_.erase(path); }

std::optional<std::string> MemoryEnv::FileContents(
    const std::string& path) const {
  auto it = files_.find(path);
  if (it == files_.end()) return std::nullopt;
  return it->second;
}

std::string MemoryEnv::JoinPath(std::string_view directory,
                                std::string_view name) {
  return JoinPathWith(directory, name, "/");
}

std::vector<std::string> MemoryEnv::ListFiles(const std::string& directory,
                                              const NameFilter& keep) {
  if (!directories_.count(directory)) {
    throw Error(directory, FileAction::kListFolder,
                "No such file or directory");
  }
  std::vector<std::string> names;
  for (const auto& [path, contents] : files_) {
    if (FolderOf(path) != directory || hidden_.count(path)) continue;
    std::string name = path.substr(path.rfind('/') + 1);
    if (keep(name)) names.push_back(name);
  }
  // A real folder lists in no particular order; reversing catches callers
  // that forget to sort.
  std::reverse(names.begin(), names.end());
  return names;
}

void MemoryEnv::CheckReadable(const std::string& path) const {
  if (unreadable_.count(path)) {
    throw Error(path, FileAction::kOpen, "Permission denied");
  }
}

std::unique_ptr<RandomAccessFile> MemoryEnv::OpenFile(const std::string& path) {
  auto it = files_.find(path);
  if (it == files_.end()) return nullptr;
  CheckReadable(path);
  return std::make_unique<MemoryRandomAccessFile>(it->second, read_chunk_);
}

std::unique_ptr<ReplacementFile> MemoryEnv::NewReplacementFile(
    const std::string& directory, const std::string& name) {
  std::string target = JoinPath(directory, name);
  if (!directories_.count(directory)) {
    throw Error(directory, FileAction::kCreateIn, "No such file or directory");
  }
  if (unreadable_.count(target)) {
    throw Error(target, FileAction::kReplace, "Permission denied");
  }
  return std::make_unique<MemoryReplacementFile>(this, target);
}

std::string MemoryEnv::TempDirectory() {
  ++temp_directory_lookups_;
  if (!temp_directory_) {
    throw Error("", FileAction::kFindTempFolder, "none is set");
  }
  return *temp_directory_;
}

std::string MemoryEnv::CreateUniqueFile(const std::string& directory,
                                        std::string_view prefix) {
  std::string path = directory + std::string(prefix) +
                     std::to_string(++unique_counter_) + ".tmp";
  AddFile(path, "");
  return path;
}

}  // namespace tevgen
