#include "platform/staged_file_windows.h"

#include <atomic>
#include <cstdio>

#include "platform/env_windows.h"
#include "platform/env_windows_internal.h"
#include "platform/error.h"

namespace tevgen::win {
namespace {

constexpr std::string_view kSeparators = "\\/";

// Makes each staged name of this process new, from any thread.
std::atomic<unsigned> staged_count = 0;

class WindowsReplacementFile : public ReplacementFile {
 public:
  WindowsReplacementFile(std::string target, std::string staged, HANDLE handle)
      : target_(std::move(target)),
        staged_(std::move(staged)),
        handle_(handle) {}

  ~WindowsReplacementFile() override {
    if (!committed_) {
      if (handle_.valid()) handle_.Close();
      ::DeleteFileW(SystemPath(staged_).c_str());
    }
  }

  void Append(std::string_view data) override {
    while (!data.empty()) {
      DWORD chunk =
          static_cast<DWORD>(std::min<size_t>(data.size(), kMaxTransfer));
      DWORD written = 0;
      if (!::WriteFile(handle_.get(), data.data(), chunk, &written, nullptr)) {
        throw WindowsError(target_, FileAction::kWrite);
      }
      data.remove_prefix(written);
    }
  }

  void Commit() override {
    if (!::FlushFileBuffers(handle_.get())) {
      throw WindowsError(target_, FileAction::kSync);
    }
    if (!handle_.Close()) throw WindowsError(target_, FileAction::kWrite);
    DWORD error = WithPatience([this] { return ReplaceTarget(); });
    if (error != ERROR_SUCCESS) {
      throw WindowsError(target_, FileAction::kReplace, error);
    }
    committed_ = true;
  }

 private:
  // Puts the staged file in place of the target and returns the error, or
  // ERROR_SUCCESS; throws when the target may not be replaced at all.
  // ReplaceFileW keeps what the old file carries beside its bytes
  // (attributes such as hidden, the access control list, the creation
  // time); the first file of its name, or a replacement that ReplaceFileW
  // cannot do, is moved into place instead. The staged file stays hidden
  // while the run waits.
  DWORD ReplaceTarget() {
    std::wstring target = SystemPath(target_);
    std::wstring staged = SystemPath(staged_);
    DWORD old_attributes = ::GetFileAttributesW(target.c_str());
    if (old_attributes != INVALID_FILE_ATTRIBUTES) {
      RefuseToReplace(target_, old_attributes);
      // Asked first whether another program holds the file: a failing
      // ReplaceFileW may leave a temporary file behind (Wine's does).
      DWORD in_use = CheckReplaceable(target_, target);
      if (in_use != ERROR_SUCCESS) return in_use;
      ::SetFileAttributesW(staged.c_str(),
                           old_attributes & ~FILE_ATTRIBUTE_READONLY);
      if (::ReplaceFileW(
              target.c_str(), staged.c_str(), nullptr,
              REPLACEFILE_IGNORE_MERGE_ERRORS | REPLACEFILE_IGNORE_ACL_ERRORS,
              nullptr, nullptr)) {
        return ERROR_SUCCESS;
      }
      DWORD error = ::GetLastError();
      ::SetFileAttributesW(staged.c_str(), FILE_ATTRIBUTE_HIDDEN);
      if (IsInUse(error) || error == ERROR_ACCESS_DENIED) return error;
    }
    // The new file is not hidden, unless the old one was.
    ::SetFileAttributesW(staged.c_str(),
                         old_attributes == INVALID_FILE_ATTRIBUTES
                             ? FILE_ATTRIBUTE_NORMAL
                             : old_attributes & ~FILE_ATTRIBUTE_READONLY);
    if (::MoveFileExW(staged.c_str(), target.c_str(),
                      MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return ERROR_SUCCESS;
    }
    DWORD error = ::GetLastError();
    ::SetFileAttributesW(staged.c_str(), FILE_ATTRIBUTE_HIDDEN);
    return error;
  }

  std::string target_;
  std::string staged_;
  ScopedHandle handle_;
  bool committed_ = false;
};

// The process id in `name` when it is `prefix`, a process id, ".", a
// count and ".tmp", in decimal without leading zeros; else 0.
DWORD StagedProcessId(std::string_view name, std::string_view prefix) {
  constexpr std::string_view kSuffix = ".tmp";
  if (!name.starts_with(prefix) || !name.ends_with(kSuffix)) return 0;
  name =
      name.substr(prefix.size(), name.size() - prefix.size() - kSuffix.size());
  size_t dot = name.find('.');
  if (dot == std::string_view::npos) return 0;
  uint64_t numbers[2] = {};
  std::string_view parts[2] = {name.substr(0, dot), name.substr(dot + 1)};
  for (int i = 0; i < 2; ++i) {
    std::string_view digits = parts[i];
    if (digits.empty() || digits.size() > 10 ||
        (digits[0] == '0' && digits.size() > 1)) {
      return 0;
    }
    for (char c : digits) {
      if (c < '0' || c > '9') return 0;
      numbers[i] = numbers[i] * 10 + static_cast<uint64_t>(c - '0');
    }
    if (numbers[i] > MAXDWORD) return 0;
  }
  return static_cast<DWORD>(numbers[0]);
}

// Whether process `process_id` (never 0, the system's idle process) has
// provably ended: no process has the id, or its process has exited.
bool IsGone(DWORD process_id) {
  if (process_id == 0 || process_id == ::GetCurrentProcessId()) return false;
  HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, process_id);
  if (process == nullptr) {
    return ::GetLastError() == ERROR_INVALID_PARAMETER;
  }
  bool exited = ::WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
  ::CloseHandle(process);
  return exited;
}

// Deletes the staged files (`prefix`, a process id, a count, ".tmp") that
// killed processes left in `directory`. Only a name of exactly that form
// whose process is provably gone: a live process's own is kept (and
// while it is open it cannot be deleted), and so is every other name.
void RemoveStaleStaged(const std::string& directory,
                       const std::string& prefix) {
  WIN32_FIND_DATAW entry;
  HANDLE find = ::FindFirstFileExW(
      SystemPath(JoinPathWith(directory, prefix + "*.tmp", kSeparators))
          .c_str(),
      FindExInfoBasic, &entry, FindExSearchNameMatch, nullptr, 0);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    std::string name = Narrow(entry.cFileName);
    if (!IsGone(StagedProcessId(name, prefix))) continue;
    ::DeleteFileW(
        SystemPath(JoinPathWith(directory, name, kSeparators)).c_str());
  } while (::FindNextFileW(find, &entry));
  ::FindClose(find);
}

}  // namespace

void RefuseToReplace(const std::string& path, DWORD attributes) {
  if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) {
    throw Error(path, FileAction::kReplaceNonFile);
  }
  if (attributes & FILE_ATTRIBUTE_READONLY) {
    throw Error(path, FileAction::kReplace, MessageId::kReadOnly);
  }
}

DWORD CheckReplaceable(const std::string& path, const std::wstring& target) {
  HANDLE probe =
      ::CreateFileW(target.c_str(), GENERIC_READ | DELETE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
  if (probe == INVALID_HANDLE_VALUE) {
    DWORD error = ::GetLastError();
    if (error == ERROR_ACCESS_DENIED) {
      throw WindowsError(path, FileAction::kReplace, error);
    }
    return IsInUse(error) ? error : ERROR_SUCCESS;
  }
  bool disk_file = ::GetFileType(probe) == FILE_TYPE_DISK;
  ::CloseHandle(probe);
  if (!disk_file) RefuseToReplace(path, FILE_ATTRIBUTE_DEVICE);
  return ERROR_SUCCESS;
}

std::unique_ptr<ReplacementFile> StagedReplacement(std::string target,
                                                   std::string staged,
                                                   HANDLE handle) {
  return std::make_unique<WindowsReplacementFile>(std::move(target),
                                                  std::move(staged), handle);
}

std::unique_ptr<ReplacementFile> NewStagedReplacement(
    const std::string& directory, const std::string& name) {
  std::string target = JoinPathWith(directory, name, kSeparators);
  std::wstring wide_target = SystemPath(target);
  DWORD attributes = ::GetFileAttributesW(wide_target.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    // Checked now as at Commit, so that a file that may not be replaced
    // stops the run before any image is read.
    RefuseToReplace(target, attributes);
    CheckReplaceable(target, wide_target);
  }
  // The staged name begins with "." and the file is marked hidden, so
  // that no listing shows it, nor Explorer a killed process's leftover.
  std::string prefix = "." + name + ".";
  for (;;) {
    char unique[64];
    std::snprintf(unique, sizeof unique, "%lu.%u.tmp",
                  static_cast<unsigned long>(::GetCurrentProcessId()),
                  staged_count++);
    std::string staged = JoinPathWith(directory, prefix + unique, kSeparators);
    // Not shared: while this process has it open, no other can delete it.
    HANDLE handle =
        ::CreateFileW(SystemPath(staged).c_str(), GENERIC_WRITE, 0, nullptr,
                      CREATE_NEW, FILE_ATTRIBUTE_HIDDEN, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      auto file = StagedReplacement(target, staged, handle);
      RemoveStaleStaged(directory, prefix);
      return file;
    }
    DWORD error = ::GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
      throw WindowsError(directory, FileAction::kCreateIn, error);
    }
  }
}

}  // namespace tevgen::win
