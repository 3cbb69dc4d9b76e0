// MemoryEnv is an Env that keeps its files in memory, for tests of the logic
// above the platform layer. Paths are joined with "/"; a folder exists when
// it was added with AddDirectory. Faults can be injected: unreadable files,
// a disk that fills up after a number of bytes written, a failing commit.
#ifndef TEVGEN_PLATFORM_MEMORY_ENV_H_
#define TEVGEN_PLATFORM_MEMORY_ENV_H_

#include <cstddef>
#include <map>
#include <optional>
#include <set>
#include <string>

#include "platform/env.h"
#include "platform/error.h"

namespace tevgen {

class MemoryEnv : public Env {
 public:
  explicit MemoryEnv(std::string program_directory = "/prog");

  void AddDirectory(const std::string& directory);
  // Adds or overwrites a file; its folder is added too.
  void AddFile(const std::string& path, std::string contents);
  void AddUnreadableFile(const std::string& path);
  // Hidden files are skipped by the listing but still read.
  void AddHiddenFile(const std::string& path, std::string contents);
  void RemoveFile(const std::string& path);
  std::optional<std::string> FileContents(const std::string& path) const;

  // Every replacement write past this many bytes fails as on a full disk.
  void FailWritesAfter(size_t bytes) { write_limit_ = bytes; }
  // Commit fails in `action` (a step of the commit: kSync, kReplace,
  // kSyncFolder) with an I/O error.
  void FailCommit(FileAction action = FileAction::kReplace) {
    fail_commit_ = action;
  }
  // Reads return at most this many bytes per call.
  void SetReadChunk(size_t bytes) { read_chunk_ = bytes; }
  void SetTempDirectory(std::optional<std::string> directory) {
    temp_directory_ = std::move(directory);
  }

  // Replacement files that were started but neither committed nor destroyed.
  int open_replacements() const { return open_replacements_; }
  int temp_directory_lookups() const { return temp_directory_lookups_; }

  std::string ProgramDirectory() override { return program_directory_; }
  std::string JoinPath(std::string_view directory,
                       std::string_view name) override;
  std::vector<std::string> ListFiles(const std::string& directory,
                                     const NameFilter& keep) override;
  size_t OpenFileRoom() override { return static_cast<size_t>(-1); }
  std::unique_ptr<RandomAccessFile> OpenFile(const std::string& path) override;
  std::unique_ptr<ReplacementFile> NewReplacementFile(
      const std::string& directory, const std::string& name) override;
  std::string TempDirectory() override;
  std::string CreateUniqueFile(const std::string& directory,
                               std::string_view prefix) override;

 private:
  friend class MemoryReplacementFile;
  void CheckReadable(const std::string& path) const;

  std::string program_directory_;
  std::set<std::string> directories_;
  std::map<std::string, std::string> files_;
  std::set<std::string> unreadable_;
  std::set<std::string> hidden_;
  std::optional<size_t> write_limit_;
  std::optional<FileAction> fail_commit_;
  size_t read_chunk_ = 4096;  // small: readers meet files in pieces
  std::optional<std::string> temp_directory_ = "/tmp/";
  int open_replacements_ = 0;
  int temp_directory_lookups_ = 0;
  int unique_counter_ = 0;
};

}  // namespace tevgen

#endif  // TEVGEN_PLATFORM_MEMORY_ENV_H_
