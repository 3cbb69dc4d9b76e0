// FaultEnv passes every call on to another Env, its target, and makes the
// calls a test chooses fail as a real system's do: a file that may not be
// read, a disk that fills up, a commit that fails in one of its steps, a
// system that cannot name its temporary folder. It can also make every
// read shorter, as a network share's may be, and it counts the lookups of
// the temporary folder. For tests of the code above the platform layer,
// over MemoryEnv or a real Env alike.
//
// The target, which it does not own, must outlive it and everything opened
// through it. Faults are set before the calls they affect; the calls may
// come from several threads at once wherever the target allows it.
#ifndef TEVGEN_PLATFORM_FAULT_ENV_H_
#define TEVGEN_PLATFORM_FAULT_ENV_H_

#include <atomic>
#include <cstddef>
#include <optional>
#include <set>
#include <string>

#include "platform/env.h"
#include "platform/error.h"

namespace tevgen {

class FaultEnv : public Env {
 public:
  explicit FaultEnv(Env& target) : target_(target) {}

  // Opening the file `path`, by its path or through a Folder, fails as for
  // a file the user may not read.
  void FailOpen(const std::string& path) { unreadable_.insert(path); }
  // A replacement fails as on a full disk once it would hold more than
  // `bytes`.
  void FailWritesAfter(size_t bytes) { write_limit_ = bytes; }
  // Commit fails in `action` with an I/O error: in kSyncFolder after the
  // file was replaced, naming the folder, as the Linux Env fails there; in
  // any other step with the target unchanged.
  void FailCommit(FileAction action) { fail_commit_ = action; }
  // Reads return at most `bytes` at a time.
  void ShortReads(size_t bytes) { read_chunk_ = bytes; }
  // TempDirectory fails as on a system that cannot say, while `fail`.
  void FailTempDirectory(bool fail) { fail_temp_directory_ = fail; }
  int temp_directory_lookups() const { return temp_directory_lookups_; }

  std::string ProgramDirectory() override { return target_.ProgramDirectory(); }
  std::string_view Separators() const override { return target_.Separators(); }
  std::unique_ptr<Folder> OpenFolder(const std::string& directory) override;
  size_t OpenFileRoom() override { return target_.OpenFileRoom(); }
  std::unique_ptr<RandomAccessFile> OpenFile(const std::string& path) override;
  std::string TempDirectory() override;
  std::string CreateUniqueFile(const std::string& directory,
                               std::string_view prefix) override {
    return target_.CreateUniqueFile(directory, prefix);
  }

 private:
  friend class FaultFolder;
  friend class FaultReplacementFile;

  // Throws for a file set to fail; else `file` with the reads set.
  std::unique_ptr<RandomAccessFile> Opened(
      const std::string& path, std::unique_ptr<RandomAccessFile> file);

  Env& target_;
  std::set<std::string> unreadable_;
  std::optional<size_t> write_limit_;
  std::optional<FileAction> fail_commit_;
  std::optional<size_t> read_chunk_;
  bool fail_temp_directory_ = false;
  std::atomic<int> temp_directory_lookups_ = 0;
};

}  // namespace tevgen

#endif  // TEVGEN_PLATFORM_FAULT_ENV_H_
