// Env on Windows. Paths are UTF-8 inside the program and UTF-16 at every
// system call (the wide API throughout), so that no file name is mangled by
// the ANSI code page. The temporary-file calls are the exception: they are
// the ANSI kernel32 functions, and their folder string is handed back to the
// system exactly as the system gave it.
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "platform/env.h"
#include "platform/error.h"

namespace tevgen {
namespace {

// `text`, in the code page `code_page`, as UTF-16.
std::wstring Widen(std::string_view text, UINT code_page = CP_UTF8) {
  if (text.empty()) return L"";
  int length = ::MultiByteToWideChar(code_page, 0, text.data(),
                                     static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(length), L'\0');
  ::MultiByteToWideChar(code_page, 0, text.data(),
                        static_cast<int>(text.size()), wide.data(), length);
  return wide;
}

// `utf8` as a path for the file system calls. A path near or over MAX_PATH
// characters is made absolute and given the "\\?\" prefix, which lifts the
// limit where the system does not (Windows before 10, or without the
// long-path setting).
std::wstring SystemPath(std::string_view utf8) {
  constexpr size_t kShortEnough = 240;  // leaves room for a file name
  std::wstring wide = Widen(utf8);
  if (wide.size() < kShortEnough || wide.starts_with(L"\\\\?\\")) return wide;
  DWORD length = ::GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (length == 0) return wide;
  std::wstring full(length, L'\0');
  length = ::GetFullPathNameW(wide.c_str(), length, full.data(), nullptr);
  full.resize(length);
  if (full.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

// UTF-16 `wide` as UTF-8.
std::string Narrow(std::wstring_view wide) {
  if (wide.empty()) return "";
  int length = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(),
                                     static_cast<int>(wide.size()), nullptr, 0,
                                     nullptr, nullptr);
  std::string narrow(static_cast<size_t>(length), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                        narrow.data(), length, nullptr, nullptr);
  return narrow;
}

// The system's words for `error`: for an English user those the Linux build
// uses for the common cases, so that messages read the same on every
// platform; for others as the system says it in their language. A file
// held by another program is said in the program's own words, which
// messages.cc translates.
std::string ErrorText(DWORD error) {
  if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) {
    return "the file is in use by another program";
  }
  static const bool english = UserLanguageTag() == "en";
  switch (english ? error : ERROR_SUCCESS) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
      return "No such file or directory";
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
      return "Permission denied";
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return "No space left on device";
    default:
      break;
  }
  wchar_t* buffer = nullptr;
  DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
          FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text(buffer != nullptr ? buffer : L"", length);
  ::LocalFree(buffer);
  while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' ||
                           text.back() == L' ' || text.back() == L'.')) {
    text.pop_back();
  }
  if (text.empty()) return "system error " + std::to_string(error);
  return Narrow(text);
}

// The one way this Env turns a failed system call into an Error. `path` is
// taken by reference so that nothing runs between the failed call and
// GetLastError that could change the error.
Error WindowsError(const std::string& path, FileAction action,
                   DWORD error = ::GetLastError()) {
  return Error(path, action, ErrorText(error));
}

constexpr std::string_view kSeparators = "\\/";

// The most one ReadFile or WriteFile call is given: well within a DWORD.
constexpr DWORD kMaxTransfer = DWORD{1} << 30;

bool IsMissing(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
         error == ERROR_INVALID_NAME || error == ERROR_BAD_NETPATH ||
         error == ERROR_INVALID_DRIVE;
}

constexpr DWORD kNotListed =
    FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

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

// Opens `path` for reading if it names an ordinary file: not a folder, not
// marked hidden or system. Returns an invalid handle when it does not;
// throws when it does but cannot be opened.
ScopedHandle OpenOrdinaryFile(const std::string& path) {
  std::wstring wide = SystemPath(path);
  DWORD attributes = ::GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & kNotListed)) {
    return ScopedHandle(INVALID_HANDLE_VALUE);
  }
  HANDLE handle =
      ::CreateFileW(wide.c_str(), GENERIC_READ,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    DWORD error = ::GetLastError();
    if (IsMissing(error)) return ScopedHandle(INVALID_HANDLE_VALUE);
    throw WindowsError(path, FileAction::kOpen, error);
  }
  return ScopedHandle(handle);
}

class WindowsRandomAccessFile : public RandomAccessFile {
 public:
  WindowsRandomAccessFile(std::string path, HANDLE handle, uint64_t size)
      : path_(std::move(path)), handle_(handle), size_(size) {}

  uint64_t Size() override { return size_; }

  size_t ReadAt(uint64_t offset, char* buffer, size_t n) override {
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    if (!::ReadFile(handle_.get(), buffer,
                    static_cast<DWORD>(std::min<size_t>(n, kMaxTransfer)), &got,
                    &at)) {
      DWORD error = ::GetLastError();
      if (error == ERROR_HANDLE_EOF) return 0;
      throw WindowsError(path_, FileAction::kRead, error);
    }
    return got;
  }

 private:
  std::string path_;
  ScopedHandle handle_;
  uint64_t size_;
};

bool IsInUse(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

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
    // A viewer or a virus scanner often holds a file for a moment right
    // after it was written: try again for about two seconds.
    constexpr DWORD kPatienceMs = 2000;
    DWORD waited = 0;
    for (DWORD pause = 10;; pause = std::min<DWORD>(2 * pause, 250)) {
      DWORD error = ReplaceTarget();
      if (error == ERROR_SUCCESS) break;
      if (!IsInUse(error) || waited >= kPatienceMs) {
        throw WindowsError(target_, FileAction::kReplace,
                           IsInUse(error) ? ERROR_SHARING_VIOLATION : error);
      }
      ::Sleep(pause);
      waited += pause;
    }
    committed_ = true;
  }

 private:
  // Puts the staged file in place of the target and returns the error, or
  // ERROR_SUCCESS. ReplaceFileW keeps what the old file carries beside its
  // bytes (attributes such as hidden, the access control list, the creation
  // time); the first file of its name, or a replacement that ReplaceFileW
  // cannot do, is moved into place instead.
  DWORD ReplaceTarget() {
    std::wstring target = SystemPath(target_);
    std::wstring staged = SystemPath(staged_);
    DWORD old_attributes = ::GetFileAttributesW(target.c_str());
    // The staged file is hidden while it is written; the new file is not,
    // unless the old one was.
    DWORD attributes = old_attributes == INVALID_FILE_ATTRIBUTES
                           ? FILE_ATTRIBUTE_NORMAL
                           : old_attributes & ~FILE_ATTRIBUTE_READONLY;
    ::SetFileAttributesW(staged.c_str(), attributes);
    if (old_attributes != INVALID_FILE_ATTRIBUTES) {
      // Asked first whether another program holds the file: a failing
      // ReplaceFileW may leave a temporary file behind (Wine's does).
      HANDLE probe =
          ::CreateFileW(target.c_str(), GENERIC_READ | DELETE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        nullptr, OPEN_EXISTING, 0, nullptr);
      if (probe == INVALID_HANDLE_VALUE) {
        DWORD error = ::GetLastError();
        if (IsInUse(error)) return error;
      } else {
        ::CloseHandle(probe);
      }
      if (::ReplaceFileW(
              target.c_str(), staged.c_str(), nullptr,
              REPLACEFILE_IGNORE_MERGE_ERRORS | REPLACEFILE_IGNORE_ACL_ERRORS,
              nullptr, nullptr)) {
        return ERROR_SUCCESS;
      }
      DWORD error = ::GetLastError();
      if (IsInUse(error) || error == ERROR_ACCESS_DENIED) return error;
    }
    if (::MoveFileExW(staged.c_str(), target.c_str(),
                      MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return ERROR_SUCCESS;
    }
    DWORD error = ::GetLastError();
    // Replacing a file that another program holds open fails with "access
    // denied" here; the read-only case was refused before writing began.
    return error == ERROR_ACCESS_DENIED ? ERROR_SHARING_VIOLATION : error;
  }

  std::string target_;
  std::string staged_;
  ScopedHandle handle_;
  bool committed_ = false;
};

class WindowsEnv : public Env {
 public:
  std::string ProgramDirectory() override {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
      DWORD length = ::GetModuleFileNameW(nullptr, path.data(),
                                          static_cast<DWORD>(path.size()));
      if (length == 0) throw WindowsError("", FileAction::kFindProgram);
      if (length < path.size()) {
        path.resize(length);
        break;
      }
      path.resize(path.size() * 2);
    }
    size_t separator = path.find_last_of(L"\\/");
    if (separator == std::wstring::npos) return ".";
    // A drive's root keeps its separator: "C:\".
    bool at_root = separator == 2 && path[1] == L':';
    return Narrow(path.substr(0, at_root ? separator + 1 : separator));
  }

  std::string JoinPath(std::string_view directory,
                       std::string_view name) override {
    return JoinPathWith(directory, name, kSeparators);
  }

  std::vector<std::string> ListFiles(const std::string& directory,
                                     const NameFilter& keep) override {
    WIN32_FIND_DATAW entry;
    HANDLE find = ::FindFirstFileExW(
        SystemPath(JoinPath(directory, "*")).c_str(), FindExInfoBasic, &entry,
        FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    std::vector<std::string> names;
    if (find == INVALID_HANDLE_VALUE) {
      DWORD error = ::GetLastError();
      if (error == ERROR_FILE_NOT_FOUND) return names;  // An empty root.
      throw WindowsError(directory, FileAction::kListFolder, error);
    }
    do {
      if (entry.dwFileAttributes & kNotListed) continue;
      // Names beginning with "." are hidden as on Linux: the "._<name>"
      // files that copies from a Mac leave behind hold metadata, not content.
      if (entry.cFileName[0] == L'.') continue;
      std::string name = Narrow(entry.cFileName);
      if (keep(name)) names.push_back(std::move(name));
    } while (::FindNextFileW(find, &entry));
    DWORD error = ::GetLastError();
    ::FindClose(find);
    if (error != ERROR_NO_MORE_FILES) {
      throw WindowsError(directory, FileAction::kListFolder, error);
    }
    return names;
  }

  std::unique_ptr<RandomAccessFile> OpenFile(const std::string& path) override {
    ScopedHandle handle = OpenOrdinaryFile(path);
    if (!handle.valid()) return nullptr;
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(handle.get(), &size)) {
      throw WindowsError(path, FileAction::kRead);
    }
    return std::make_unique<WindowsRandomAccessFile>(
        path, handle.Release(), static_cast<uint64_t>(size.QuadPart));
  }

  std::unique_ptr<ReplacementFile> NewReplacementFile(
      const std::string& directory, const std::string& name) override {
    std::string target = JoinPath(directory, name);
    DWORD attributes = ::GetFileAttributesW(SystemPath(target).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_READONLY)) {
      throw WindowsError(target, FileAction::kReplace, ERROR_ACCESS_DENIED);
    }
    // The staged name begins with "." and the file is marked hidden, so
    // that no listing shows it, nor Explorer a killed process's leftover.
    std::string prefix = "." + name + ".";
    for (;;) {
      char unique[64];
      std::snprintf(unique, sizeof unique, "%lu.%u.tmp",
                    static_cast<unsigned long>(::GetCurrentProcessId()),
                    staged_count_++);
      std::string staged = JoinPath(directory, prefix + unique);
      // Not shared: while this process has it open, no other can delete it.
      HANDLE handle =
          ::CreateFileW(SystemPath(staged).c_str(), GENERIC_WRITE, 0, nullptr,
                        CREATE_NEW, FILE_ATTRIBUTE_HIDDEN, nullptr);
      if (handle != INVALID_HANDLE_VALUE) {
        auto file =
            std::make_unique<WindowsReplacementFile>(target, staged, handle);
        RemoveStaleStaged(directory, prefix);
        return file;
      }
      DWORD error = ::GetLastError();
      if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
        throw WindowsError(directory, FileAction::kCreateIn, error);
      }
    }
  }

  // Deletes the staged files (`prefix`, a process id, a count, ".tmp") that
  // killed processes left in `directory`. A live process's own is kept: it
  // is still there (and while the file is open it cannot be deleted).
  void RemoveStaleStaged(const std::string& directory,
                         const std::string& prefix) {
    WIN32_FIND_DATAW entry;
    HANDLE find = ::FindFirstFileExW(
        SystemPath(JoinPath(directory, prefix + "*.tmp")).c_str(),
        FindExInfoBasic, &entry, FindExSearchNameMatch, nullptr, 0);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
      if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
      std::string name = Narrow(entry.cFileName);
      DWORD process_id = static_cast<DWORD>(
          std::strtoul(name.c_str() + prefix.size(), nullptr, 10));
      if (IsRunning(process_id)) continue;
      ::DeleteFileW(SystemPath(JoinPath(directory, name)).c_str());
    } while (::FindNextFileW(find, &entry));
    ::FindClose(find);
  }

  static bool IsRunning(DWORD process_id) {
    if (process_id == ::GetCurrentProcessId()) return true;
    HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, process_id);
    if (process == nullptr) return ::GetLastError() == ERROR_ACCESS_DENIED;
    bool running = ::WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    ::CloseHandle(process);
    return running;
  }

  std::string TempDirectory() override {
    char buffer[kTempBufferSize];
    DWORD length = ::GetTempPathA(sizeof buffer, buffer);
    if (length == 0) throw WindowsError("", FileAction::kFindTempFolder);
    if (length >= sizeof buffer) {
      throw Error("",
                  "the folder for temporary files has a path longer "
                  "than 255 characters");
    }
    return std::string(buffer, length);
  }

  std::string CreateUniqueFile(const std::string& directory,
                               std::string_view prefix) override {
    std::string prefix_text(prefix);
    std::string buffer(kTempBufferSize, ' ');
    UINT unique = ::GetTempFileNameA(directory.c_str(), prefix_text.c_str(), 0,
                                     buffer.data());
    if (unique == 0) throw WindowsError(directory, FileAction::kCreateTemp);
    size_t end = buffer.find('\0');
    if (end == std::string::npos) {
      throw Error(directory, FileAction::kCreateTemp,
                  "the system gave no name");
    }
    buffer.resize(end);
    // The name is in the ANSI code page; the program's paths are UTF-8.
    return Narrow(Widen(buffer, CP_ACP));
  }

 private:
  // Both buffers of the ANSI temporary-file calls, in characters: a path
  // of up to 255 and its NUL.
  static constexpr DWORD kTempBufferSize = 256;

  unsigned staged_count_ = 0;  // makes each staged name of this process new
};

// The console of the parent process (the prompt the program was started
// from), opened once and held until the process ends; nullptr when there
// is none, as for a program of the GUI subsystem that was double-clicked.
HANDLE ParentConsole() {
  static const HANDLE console = []() -> HANDLE {
    if (::AttachConsole(ATTACH_PARENT_PROCESS) ||
        ::GetLastError() == ERROR_ACCESS_DENIED) {  // Attached already.
      HANDLE handle = ::CreateFileW(L"CONOUT$", GENERIC_WRITE, FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
      if (handle != INVALID_HANDLE_VALUE) return handle;
    }
    return nullptr;
  }();
  return console;
}

// Where console text goes: the standard handle when there is one (started
// from a console, or redirected), else the parent's console, else nullptr.
HANDLE OutputHandle(DWORD which) {
  HANDLE handle = ::GetStdHandle(which);
  if (handle != nullptr && handle != INVALID_HANDLE_VALUE &&
      ::GetFileType(handle) != FILE_TYPE_UNKNOWN) {
    return handle;
  }
  return ParentConsole();
}

// Shows `text` in a message box titled `title`, for a program that has no
// console to write to.
void ShowBox(std::string_view text, std::string_view title, UINT icon) {
  while (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  ::MessageBoxW(nullptr, Widen(text).c_str(), Widen(title).c_str(),
                MB_OK | icon);
}

// Writes UTF-8 `text`: as UTF-16 to a console, as bytes to a file or pipe.
bool WriteText(HANDLE handle, std::string_view text) {
  DWORD mode;
  if (::GetConsoleMode(handle, &mode)) {
    std::wstring wide = Widen(text);
    DWORD written;
    return ::WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()),
                           &written, nullptr);
  }
  while (!text.empty()) {
    DWORD written = 0;
    if (!::WriteFile(handle, text.data(), static_cast<DWORD>(text.size()),
                     &written, nullptr)) {
      return false;
    }
    text.remove_prefix(written);
  }
  return true;
}

}  // namespace

Env& Env::Default() {
  static WindowsEnv env;
  return env;
}

std::vector<std::string> ProgramArguments(int /*argc*/, char** /*argv*/) {
  int count = 0;
  wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  std::vector<std::string> args;
  for (int i = 1; i < count; ++i) {
    std::string arg = Narrow(wide[i]);
    if (arg == "/?") {
      arg = "--help";  // Windows's own spelling of the help option
    } else if (arg.size() > 1 && arg.back() == '"') {
      // "C:\my clips\" (as cmd and PowerShell complete a folder) arrives as
      // C:\my clips": the backslash escaped the closing quote. No Windows
      // path holds a quote, so the backslash is meant.
      arg.back() = '\\';
    }
    args.push_back(std::move(arg));
  }
  ::LocalFree(wide);
  return args;
}

std::string UserLanguageTag() {
  return PRIMARYLANGID(::GetUserDefaultUILanguage()) == LANG_GERMAN ? "de"
                                                                    : "en";
}

void PrepareProcess() {}

void WriteStandardOutput(std::string_view text, std::string_view title) {
  HANDLE handle = OutputHandle(STD_OUTPUT_HANDLE);
  if (handle == nullptr) return ShowBox(text, title, MB_ICONINFORMATION);
  if (!WriteText(handle, text)) {
    throw Error("", "write error: " + ErrorText(::GetLastError()));
  }
}

void WriteStandardError(std::string_view text, std::string_view title) {
  HANDLE handle = OutputHandle(STD_ERROR_HANDLE);
  if (handle == nullptr || !WriteText(handle, text)) {
    ShowBox(text, title, MB_ICONERROR);
  }
}

std::string WindowsErrorText(DWORD error) { return ErrorText(error); }

}  // namespace tevgen
