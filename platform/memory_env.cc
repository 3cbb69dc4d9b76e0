#include "platform/memory_env.h"

#include <algorithm>

#include "platform/error.h"

namespace tevgen {
namespace {

constexpr size_t kReadChunk = 4096;
constexpr const char* kMissing = "No such file or directory";

// A folder's path as it was added: without a trailing "/", but for the root.
std::string_view Unslashed(std::string_view directory) {
  if (directory.size() > 1 && directory.back() == '/') {
    directory.remove_suffix(1);
  }
  return directory;
}

class MemoryRandomAccessFile : public RandomAccessFile {
 public:
  explicit MemoryRandomAccessFile(std::string contents)
      : contents_(std::move(contents)) {}

  uint64_t Size() override { return contents_.size(); }

  size_t ReadAt(uint64_t offset, char* buffer, size_t n) override {
    if (offset >= contents_.size()) return 0;
    size_t count = std::min({n, kReadChunk, contents_.size() - offset});
    std::copy_n(contents_.data() + offset, count, buffer);
    return count;
  }

  // The file is a copy taken when it was opened: it has no holes and never
  // changes.
  uint64_t SkipHole(uint64_t offset) override { return offset; }
  bool ChangedSinceOpened() override { return false; }

 private:
  std::string contents_;
};

}  // namespace

class MemoryReplacementFile : public ReplacementFile {
 public:
  MemoryReplacementFile(MemoryEnv* env, std::string target, std::string staged)
      : env_(env), target_(std::move(target)), staged_(std::move(staged)) {}

  ~MemoryReplacementFile() override {
    std::lock_guard<std::mutex> lock(env_->mutex_);
    if (!committed_) env_->files_.erase(staged_);
  }

  void Append(std::string_view data) override {
    std::lock_guard<std::mutex> lock(env_->mutex_);
    env_->files_[staged_] += data;
  }

  void Commit() override {
    std::lock_guard<std::mutex> lock(env_->mutex_);
    if (env_->directories_.count(target_)) {
      throw Error(target_, FileAction::kReplaceNonFile);
    }
    auto staged = env_->files_.extract(staged_);
    env_->files_[target_] = std::move(staged.mapped());
    committed_ = true;
  }

 private:
  MemoryEnv* env_;
  std::string target_;
  std::string staged_;
  bool committed_ = false;
};

MemoryEnv::MemoryEnv() {
  AddDirectory(ProgramDirectory());
  AddDirectory("/tmp");
}

void MemoryEnv::AddDirectory(const std::string& directory) {
  std::lock_guard<std::mutex> lock(mutex_);
  directories_.insert(directory);
}

void MemoryEnv::AddFile(const std::string& path, std::string contents) {
  AddDirectory(FolderOf(path));
  std::lock_guard<std::mutex> lock(mutex_);
  files_[path] = std::move(contents);
}

void MemoryEnv::RemoveFile(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  files_.erase(path);
}

std::optional<std::string> MemoryEnv::FileContents(
    const std::string& path) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = files_.find(path);
  if (it == files_.end()) return std::nullopt;
  return it->second;
}

std::vector<std::string> MemoryEnv::AllNames(
    const std::string& directory) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return Names(directory, /*with_folders=*/true);
}

std::vector<std::string> MemoryEnv::Names(std::string_view directory,
                                          bool with_folders) const {
  directory = Unslashed(directory);
  std::vector<std::string> names;
  for (const auto& [path, contents] : files_) {
    if (FolderOf(path) == directory) {
      names.push_back(path.substr(path.rfind('/') + 1));
    }
  }
  if (with_folders) {
    for (const std::string& path : directories_) {
      if (path != "/" && FolderOf(path) == directory) {
        names.push_back(path.substr(path.rfind('/') + 1));
      }
    }
    std::sort(names.begin(), names.end());
  }
  return names;
}

bool MemoryEnv::HasDirectory(std::string_view directory) const {
  return directories_.find(Unslashed(directory)) != directories_.end();
}

// Joins each name to its path: MemoryEnv has no way to move a folder.
class MemoryFolder : public Folder {
 public:
  MemoryFolder(MemoryEnv* env, std::string directory)
      : env_(env), directory_(std::move(directory)) {}

  std::vector<std::string> ListFiles(const NameFilter& keep) override {
    return env_->ListFilesIn(directory_, keep);
  }
  std::unique_ptr<RandomAccessFile> OpenFile(std::string_view name) override {
    return env_->OpenFile(env_->JoinPath(directory_, name));
  }
  std::unique_ptr<ReplacementFile> NewReplacementFile(
      const std::string& name) override {
    return env_->NewReplacementFileIn(directory_, name);
  }

 private:
  MemoryEnv* env_;
  std::string directory_;
};

std::vector<std::string> MemoryEnv::ListFilesIn(const std::string& directory,
                                                const NameFilter& keep) {
  std::vector<std::string> files;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!HasDirectory(directory)) {
      throw Error(directory, FileAction::kListFolder, kMissing);
    }
    files = Names(directory, /*with_folders=*/false);
  }
  std::vector<std::string> names;
  for (std::string& name : files) {
    if (name[0] != '.' && keep(name)) names.push_back(std::move(name));
  }
  // A real folder lists in no particular order; reversing catches callers
  // that forget to sort.
  std::reverse(names.begin(), names.end());
  return names;
}

std::unique_ptr<Folder> MemoryEnv::OpenFolder(const std::string& directory) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!HasDirectory(directory)) {
      throw Error(directory, FileAction::kListFolder, kMissing);
    }
  }
  return std::make_unique<MemoryFolder>(this, directory);
}

std::unique_ptr<RandomAccessFile> MemoryEnv::OpenFile(const std::string& path) {
  std::optional<std::string> contents = FileContents(path);
  if (!contents) return nullptr;
  return std::make_unique<MemoryRandomAccessFile>(std::move(*contents));
}

std::unique_ptr<ReplacementFile> MemoryEnv::NewReplacementFileIn(
    const std::string& directory, const std::string& name) {
  std::string target = JoinPath(directory, name);
  std::lock_guard<std::mutex> lock(mutex_);
  if (!HasDirectory(directory)) {
    throw Error(directory, FileAction::kCreateIn, kMissing);
  }
  if (directories_.count(target)) {
    throw Error(target, FileAction::kReplaceNonFile);
  }
  std::string staged;
  do {
    staged =
        JoinPath(directory,
                 "." + name + "." + std::to_string(++unique_counter_) + ".tmp");
  } while (files_.count(staged));
  files_[staged];
  return std::make_unique<MemoryReplacementFile>(this, target, staged);
}

std::string MemoryEnv::CreateUniqueFile(const std::string& directory,
                                        std::string_view prefix) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!HasDirectory(directory)) {
    throw Error(directory, FileAction::kCreateTemp, kMissing);
  }
  std::string path;
  do {
    path = directory + std::string(prefix) + std::to_string(++unique_counter_) +
           ".tmp";
  } while (files_.count(path));
  files_[path];
  return path;
}

}  // namespace tevgen
