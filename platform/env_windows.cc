// Env on Windows. Paths are UTF-8 inside the program and UTF-16 at every
// system call (the wide API throughout), so that no file name is mangled by
// the ANSI code page. The temporary-file calls are the exception: they are
// the ANSI kernel32 functions, and their folder string is handed back to the
// system exactly as the system gave it.
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <atomic>
#include <cstdio>
#include <optional>

#include "platform/env.h"
#include "platform/error.h"

namespace tevgen {
namespace {

std::wstring Widen(std::string_view utf8) {
  if (utf8.empty()) return L"";
  int length = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(),
                                     static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(length), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                        wide.data(), length);
  return wide;
}

std::string Narrow(std::wstring_view wide, UINT code_page = CP_UTF8) {
  if (wide.empty()) return "";
  int length = ::WideCharToMultiByte(code_page, 0, wide.data(),
                                     static_cast<int>(wide.size()), nullptr, 0,
                                     nullptr, nullptr);
  std::string narrow(static_cast<size_t>(length), '\0');
  ::WideCharToMultiByte(code_page, 0, wide.data(),
                        static_cast<int>(wide.size()), narrow.data(), length,
                        nullptr, nullptr);
  return narrow;
}

// The system's error in the words the POSIX build uses for the common cases,
// so that messages read the same on every platform.
std::string ErrorText(DWORD error) {
  switch (error) {
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
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return "the file is in use by another program";
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

std::string LastErrorText() { return ErrorText(::GetLastError()); }

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
  std::wstring wide = Widen(path);
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
    throw Error(path, "cannot open the file: " + ErrorText(error));
  }
  return ScopedHandle(handle);
}

// One ReadFile call, at most `n` bytes (a DWORD's worth).
// from `offset` when one is given, else from the file's position.
size_t ReadSome(HANDLE handle, char* buffer, size_t n, const std::string& path,
                std::optional<uint64_t> offset = std::nullopt) {
  DWORD got = 0;
  DWORD want = n > 0x40000000 ? 0x40000000 : static_cast<DWORD>(n);
  OVERLAPPED at = {};
  if (offset) {
    at.Offset = static_cast<DWORD>(*offset);
    at.OffsetHigh = static_cast<DWORD>(*offset >> 32);
  }
  if (!::ReadFile(handle, buffer, want, &got, offset ? &at : nullptr)) {
    DWORD error = ::GetLastError();
    if (error == ERROR_HANDLE_EOF) return 0;
    throw Error(path, "cannot read the file: " + ErrorText(error));
  }
  return got;
}

class WindowsRandomAccessFile : public RandomAccessFile {
 public:
  WindowsRandomAccessFile(std::string path, HANDLE handle)
      : path_(std::move(path)), handle_(handle) {}
  size_t ReadAt(uint64_t offset, char* buffer, size_t n) override {
    return ReadSome(handle_.get(), buffer, n, path_, offset);
  }

 private:
  std::string path_;
  ScopedHandle handle_;
};

class WindowsReplacementFile : public ReplacementFile {
 public:
  WindowsReplacementFile(std::string target, std::string staged, HANDLE handle)
      : target_(std::move(target)),
        staged_(std::move(staged)),
        handle_(handle) {}

  ~WindowsReplacementFile() override {
    if (!committed_) {
      if (handle_.valid()) handle_.Close();
      ::DeleteFileW(Widen(staged_).c_str());
    }
  }

  void Append(std::string_view data) override {
    while (!data.empty()) {
      DWORD chunk = data.size() > 0x40000000 ? 0x40000000
                                             : static_cast<DWORD>(data.size());
      DWORD written = 0;
      if (!::WriteFile(handle_.get(), data.data(), chunk, &written, nullptr)) {
        throw Error(target_, "cannot write the catalogue: " + LastErrorText());
      }
      data.remove_prefix(written);
    }
  }

  void Commit() override {
    if (!::FlushFileBuffers(handle_.get())) {
      throw Error(target_,
                  "cannot write the catalogue to disk: " + LastErrorText());
    }
    if (!handle_.Close()) {
      throw Error(target_, "cannot write the catalogue: " + LastErrorText());
    }
    if (!::MoveFileExW(Widen(staged_).c_str(), Widen(target_).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      throw Error(target_, "cannot replace the catalogue: " + LastErrorText());
    }
    committed_ = true;
  }

 private:
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
      if (length == 0) {
        throw Error("",
                    "cannot find the program's own folder: " + LastErrorText());
      }
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
    std::string path(directory);
    if (!path.empty() && path.back() != '\\' && path.back() != '/') {
      path += '\\';
    }
    path += name;
    return path;
  }

  std::vector<std::string> ListFiles(const std::string& directory,
                                     const NameFilter& keep) override {
    WIN32_FIND_DATAW entry;
    HANDLE find = ::FindFirstFileExW(
        Widen(JoinPath(directory, "*")).c_str(), FindExInfoBasic, &entry,
        FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    std::vector<std::string> names;
    if (find == INVALID_HANDLE_VALUE) {
      DWORD error = ::GetLastError();
      if (error == ERROR_FILE_NOT_FOUND) return names;  // An empty root.
      throw Error(directory, "cannot list the folder: " + ErrorText(error));
    }
    do {
      if (entry.dwFileAttributes & kNotListed) continue;
      std::string name = Narrow(entry.cFileName);
      if (keep(name)) names.push_back(std::move(name));
    } while (::FindNextFileW(find, &entry));
    DWORD error = ::GetLastError();
    ::FindClose(find);
    if (error != ERROR_NO_MORE_FILES) {
      throw Error(directory, "cannot list the folder: " + ErrorText(error));
    }
    return names;
  }

  bool ReadFile(const std::string& path, FileBuffer* contents) override {
    contents->Clear();
    ScopedHandle handle = OpenOrdinaryFile(path);
    if (!handle.valid()) return false;
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(handle.get(), &size)) {
      throw Error(path, "cannot read the file: " + LastErrorText());
    }
    // One buffer of the file's length at this moment, filled from the start.
    size_t length = static_cast<size_t>(size.QuadPart);
    char* data = contents->Prepare(length);
    size_t filled = 0;
    while (filled < length) {
      size_t got = ReadSome(handle.get(), data + filled, length - filled, path);
      if (got == 0) break;  // The file shrank since its size was taken.
      filled += got;
    }
    contents->Truncate(filled);
    return true;
  }

  std::unique_ptr<RandomAccessFile> OpenFile(const std::string& path) override {
    ScopedHandle handle = OpenOrdinaryFile(path);
    if (!handle.valid()) return nullptr;
    return std::make_unique<WindowsRandomAccessFile>(path, handle.Release());
  }

  std::unique_ptr<ReplacementFile> NewReplacementFile(
      const std::string& directory, const std::string& name) override {
    std::string target = JoinPath(directory, name);
    DWORD attributes = ::GetFileAttributesW(Widen(target).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_READONLY)) {
      throw Error(target, "cannot replace the catalogue: " +
                              ErrorText(ERROR_ACCESS_DENIED));
    }
    // The staged name does not end in ".svg", so no run ever lists it.
    static std::atomic<unsigned> counter{0};
    std::string prefix = "." + name + ".";
    for (;;) {
      char unique[64];
      std::snprintf(unique, sizeof unique, "%lu.%u.tmp",
                    static_cast<unsigned long>(::GetCurrentProcessId()),
                    counter++);
      std::string staged = JoinPath(directory, prefix + unique);
      // Not shared: while this run has it open, no other run can delete it.
      HANDLE handle =
          ::CreateFileW(Widen(staged).c_str(), GENERIC_WRITE, 0, nullptr,
                        CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
      if (handle != INVALID_HANDLE_VALUE) {
        auto file =
            std::make_unique<WindowsReplacementFile>(target, staged, handle);
        RemoveStaleStaged(directory, prefix);
        return file;
      }
      DWORD error = ::GetLastError();
      if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
        throw Error(directory, "cannot write a new catalogue in the folder: " +
                                   ErrorText(error));
      }
    }
  }

  // Deletes the staged files (`prefix`, then "*.tmp") that killed runs left
  // in `directory`. A live run holds its own open without sharing, so the
  // deletion of that one fails and it stays.
  void RemoveStaleStaged(const std::string& directory,
                         const std::string& prefix) {
    WIN32_FIND_DATAW entry;
    HANDLE find = ::FindFirstFileExW(
        Widen(JoinPath(directory, prefix + "*.tmp")).c_str(), FindExInfoBasic,
        &entry, FindExSearchNameMatch, nullptr, 0);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
      if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
      ::DeleteFileW(
          Widen(JoinPath(directory, Narrow(entry.cFileName))).c_str());
    } while (::FindNextFileW(find, &entry));
    ::FindClose(find);
  }

  std::string TempDirectory() override {
    char buffer[256];
    DWORD length = ::GetTempPathA(sizeof buffer, buffer);
    if (length == 0) {
      throw Error(
          "", "cannot find the folder for temporary files: " + LastErrorText());
    }
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
    std::string buffer(256, ' ');
    UINT unique = ::GetTempFileNameA(directory.c_str(), prefix_text.c_str(), 0,
                                     buffer.data());
    if (unique == 0) {
      throw Error(directory,
                  "cannot create a temporary file: " + LastErrorText());
    }
    size_t end = buffer.find('\0');
    if (end == std::string::npos) {
      throw Error(directory,
                  "cannot create a temporary file: the system gave no name");
    }
    buffer.resize(end);
    // The name is in the ANSI code page; the program's paths are UTF-8.
    int length = ::MultiByteToWideChar(
        CP_ACP, 0, buffer.data(), static_cast<int>(buffer.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, buffer.data(),
                          static_cast<int>(buffer.size()), wide.data(), length);
    return Narrow(wide);
  }
};

// Where console text goes: the standard handle when there is one (started
// from a console, or redirected), else the console of the parent process.
// A program of the GUI subsystem has neither when it was double-clicked.
HANDLE OutputHandle(DWORD which) {
  HANDLE handle = ::GetStdHandle(which);
  if (handle != nullptr && handle != INVALID_HANDLE_VALUE &&
      ::GetFileType(handle) != FILE_TYPE_UNKNOWN) {
    return handle;
  }
  if (::AttachConsole(ATTACH_PARENT_PROCESS) ||
      ::GetLastError() == ERROR_ACCESS_DENIED) {  // Attached already.
    handle = ::CreateFileW(L"CONOUT$", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (handle != INVALID_HANDLE_VALUE) return handle;
  }
  return nullptr;
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
  for (int i = 1; i < count; ++i) args.push_back(Narrow(wide[i]));
  ::LocalFree(wide);
  return args;
}

void PrepareProcess() {}

void WriteStandardOutput(std::string_view text) {
  HANDLE handle = OutputHandle(STD_OUTPUT_HANDLE);
  if (handle != nullptr && !WriteText(handle, text)) {
    throw Error("", "write error: " + LastErrorText());
  }
}

void WriteStandardError(std::string_view text) {
  HANDLE handle = OutputHandle(STD_ERROR_HANDLE);
  if (handle != nullptr) WriteText(handle, text);
}

void ReportError(std::string_view line, std::string_view title) {
  std::string text(line);
  text += '\n';
  HANDLE handle = OutputHandle(STD_ERROR_HANDLE);
  if (handle != nullptr && WriteText(handle, text)) return;
  ::MessageBoxW(nullptr, Widen(line).c_str(), Widen(title).c_str(),
                MB_OK | MB_ICONERROR);
}

}  // namespace tevgen
