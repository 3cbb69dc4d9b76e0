// What the Windows Env's files share: a path for the wide calls, a failed
// call as an Error, a handle closed on every way out, the patience with a
// file another program holds, and the most one read or write is given.
// Windows only; included by the platform's own files, never by the program.
#ifndef TEVGEN_PLATFORM_ENV_WINDOWS_INTERNAL_H_
#define TEVGEN_PLATFORM_ENV_WINDOWS_INTERNAL_H_

#include <windows.h>

#include <algorithm>
#include <string>
#include <string_view>

#include "platform/error.h"

namespace tevgen::win {

// `utf8` as a path for the file system calls. A path near or over MAX_PATH
// characters is made absolute and given the "\\?\" prefix, which lifts the
// limit where the system does not (Windows before 10, or without the
// long-path setting).
std::wstring SystemPath(std::string_view utf8);

// Whether the handles `a` and `b` hold the same file or folder (volume and
// file index).
bool SameFile(HANDLE a, HANDLE b);

// The one way this Env turns a failed system call into an Error. `path` is
// taken by reference so that nothing runs between the failed call and
// GetLastError that could change the error.
Error WindowsError(const std::string& path, FileAction action,
                   DWORD error = ::GetLastError());

// The most one ReadFile or WriteFile call is given: well within a DWORD.
inline constexpr DWORD kMaxTransfer = DWORD{1} << 30;

inline bool IsInUse(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

// A viewer or a virus scanner often holds a file for a moment, right after
// it was copied or written: `attempt` (which returns ERROR_SUCCESS or the
// error) is tried again while the file is in use, for about two seconds.
template <typename Attempt>
DWORD WithPatience(Attempt attempt) {
  constexpr DWORD kPatienceMs = 2000;
  DWORD waited = 0;
  for (DWORD pause = 10;; pause = std::min<DWORD>(2 * pause, 250)) {
    DWORD error = attempt();
    if (!IsInUse(error) || waited >= kPatienceMs) return error;
    ::Sleep(pause);
    waited += pause;
  }
}

// Closes a handle on every path out of a scope.
class ScopedHandle {
 public:
  explicit ScopedHandle(HANDLE handle) : handle_(handle) {}
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  ~ScopedHandle() {
    if (valid()) ::CloseHandle(handle_);
  }
  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  // Closes now and reports whether the close succeeded.
  bool Close() { return ::CloseHandle(Release()) != 0; }
  // Gives the handle up to the caller.
  HANDLE Release() {
    HANDLE handle = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    return handle;
  }

 private:
  HANDLE handle_;
};

}  // namespace tevgen::win

#endif  // TEVGEN_PLATFORM_ENV_WINDOWS_INTERNAL_H_
