// MemoryEnv is an Env that keeps its files in memory, for tests of the code
// above the platform layer. It keeps the contract of env.h as the Linux Env
// keeps it in a folder of the running user's, less what needs a real
// system: paths are joined with "/" and taken as they are (no links, no
// ".."), files have no owners, permissions, holes or hidden marks, and a
// file open for reading is a copy that never changes. A replacement is
// staged as a hidden file beside its target. Reads return at most 4 KB at
// a time, so that readers meet files in pieces. Faults are injected by
// wrapping it in a FaultEnv (fault_env.h).
//
// A folder exists once it was added, or a file was added into it; the
// program's folder "/prog" and the temporary folder "/tmp/" always do.
//
// Thread safety: every method, of the Env and of the files and folders it
// opens, may be called from several threads at once, but one
// ReplacementFile or RandomAccessFile by one thread at a time.
#ifndef TEVGEN_PLATFORM_MEMORY_ENV_H_
#define TEVGEN_PLATFORM_MEMORY_ENV_H_

#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "platform/env.h"

namespace tevgen {

class MemoryEnv : public Env {
 public:
  MemoryEnv();

  void AddDirectory(const std::string& directory);
  // Adds or overwrites a file; its folder is added too.
  void AddFile(const std::string& path, std::string contents);
  void RemoveFile(const std::string& path);
  std::optional<std::string> FileContents(const std::string& path) const;
  // The names in `directory`, sorted: of its folders and of all its files,
  // hidden and staged ones too.
  std::vector<std::string> AllNames(const std::string& directory) const;

  std::string ProgramDirectory() override { return "/prog"; }
  std::string_view Separators() const override { return "/"; }
  std::unique_ptr<Folder> OpenFolder(const std::string& directory) override;
  size_t OpenFileRoom() override { return static_cast<size_t>(-1); }
  std::unique_ptr<RandomAccessFile> OpenFile(const std::string& path) override;
  std::string TempDirectory() override { return "/tmp/"; }
  std::string CreateUniqueFile(const std::string& directory,
                               std::string_view prefix) override;

 private:
  friend class MemoryReplacementFile;
  friend class MemoryFolder;

  // What MemoryFolder does with its folder's path.
  std::vector<std::string> ListFilesIn(const std::string& directory,
                                       const NameFilter& keep);
  std::unique_ptr<ReplacementFile> NewReplacementFileIn(
      const std::string& directory, const std::string& name);

  // Whether `directory` (with or without a trailing "/") was added. The
  // callers hold mutex_, as for Names.
  bool HasDirectory(std::string_view directory) const;
  // The names of the files in `directory`, and of its folders where asked.
  std::vector<std::string> Names(std::string_view directory,
                                 bool with_folders) const;

  mutable std::mutex mutex_;
  std::set<std::string, std::less<>> directories_;  // guarded by mutex_
  std::map<std::string, std::string> files_;        // guarded by mutex_
  unsigned unique_counter_ = 0;                     // guarded by mutex_
};

}  // namespace tevgen

#endif  // TEVGEN_PLATFORM_MEMORY_ENV_H_
