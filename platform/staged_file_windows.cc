#include "platform/staged_file_windows.h"

#include "platform/env_windows_internal.h"
#include "platform/error.h"

namespace tevgen::win {
namespace {

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

}  // namespace tevgen::win
