// Env on Windows. Paths are UTF-8 inside the program and UTF-16 at every
// system call (the wide API throughout), so that no file name is mangled by
// the ANSI code page. The temporary-file calls are the exception: they are
// the ANSI kernel32 functions, and their folder string is handed back to the
// system exactly as the system gave it.
#include "platform/env_windows.h"

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <cwctype>
#include <limits>

#include "platform/env.h"
#include "platform/env_windows_internal.h"
#include "platform/error.h"
#include "platform/staged_file_windows.h"

namespace tevgen {

std::wstring Widen(std::string_view text, unsigned code_page) {
  if (text.empty()) return L"";
  int length = ::MultiByteToWideChar(code_page, 0, text.data(),
                                     static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(length), L'\0');
  ::MultiByteToWideChar(code_page, 0, text.data(),
                        static_cast<int>(text.size()), wide.data(), length);
  return wide;
}

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

namespace win {

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

bool SameFile(HANDLE a, HANDLE b) {
  BY_HANDLE_FILE_INFORMATION x, y;
  return ::GetFileInformationByHandle(a, &x) &&
         ::GetFileInformationByHandle(b, &y) &&
         x.dwVolumeSerialNumber == y.dwVolumeSerialNumber &&
         x.nFileIndexHigh == y.nFileIndexHigh &&
         x.nFileIndexLow == y.nFileIndexLow;
}

}  // namespace win

namespace {
using namespace win;

// Set by SystemTextsInEnglish before any thread starts.
bool english_system_texts = false;

// The language of the system's words: the user's where the program speaks
// it too (kLanguages), else English, so that a message never mixes two
// languages; English after SystemTextsInEnglish. 0 lets FormatMessageW take
// the user's.
DWORD SystemTextLanguage() {
  if (!english_system_texts && LanguageOfWindowsId(PRIMARYLANGID(
                                   ::GetUserDefaultUILanguage())) != nullptr) {
    return 0;
  }
  return MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
}

// Windows' own words for `error` (FormatMessageW), without the closing
// period; a file held by another program in the program's own words. Where
// Windows has no text in the language, the error's number.
Message ErrorCause(DWORD error) {
  if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) {
    return MessageId::kInUse;
  }
  wchar_t* buffer = nullptr;
  DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
          FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, SystemTextLanguage(), reinterpret_cast<wchar_t*>(&buffer),
      0, nullptr);
  std::wstring text(buffer != nullptr ? buffer : L"", length);
  ::LocalFree(buffer);
  while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' ||
                           text.back() == L' ' || text.back() == L'.')) {
    text.pop_back();
  }
  if (text.empty()) {
    return Message(MessageId::kSystemError,
                   {{"number", std::to_string(error)}});
  }
  return Message(MessageId::kUnworded, {{"what", Narrow(text)}});
}

}  // namespace

Error win::WindowsError(const std::string& path, FileAction action,
                        DWORD error) {
  return Error(path, action, ErrorCause(error));
}

namespace {

constexpr std::string_view kSeparators = "\\/";

bool IsMissing(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
         error == ERROR_INVALID_NAME || error == ERROR_BAD_NETPATH ||
         error == ERROR_INVALID_DRIVE;
}

constexpr DWORD kNotListed =
    FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
// Opens `path` for reading if it names an ordinary file (not a folder or a
// device) that is not marked hidden or system. Returns an invalid handle
// when it does not; throws when it does but cannot be opened.
ScopedHandle OpenOrdinaryFile(const std::string& path) {
  std::wstring wide = SystemPath(path);
  DWORD attributes = ::GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & kNotListed)) {
    return ScopedHandle(INVALID_HANDLE_VALUE);
  }
  HANDLE handle = INVALID_HANDLE_VALUE;
  DWORD error = WithPatience([&] {
    handle = ::CreateFileW(
        wide.c_str(), GENERIC_READ,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    return handle == INVALID_HANDLE_VALUE ? ::GetLastError() : ERROR_SUCCESS;
  });
  if (handle == INVALID_HANDLE_VALUE) {
    if (IsMissing(error)) return ScopedHandle(INVALID_HANDLE_VALUE);
    throw WindowsError(path, FileAction::kOpen, error);
  }
  // A device name ("NUL", "COM1") opens the device in any folder.
  if (::GetFileType(handle) != FILE_TYPE_DISK) {
    ::CloseHandle(handle);
    return ScopedHandle(INVALID_HANDLE_VALUE);
  }
  return ScopedHandle(handle);
}

uint64_t SizeOf(const BY_HANDLE_FILE_INFORMATION& info) {
  return (uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
}

class WindowsRandomAccessFile : public RandomAccessFile {
 public:
  // `opened` is what the system told of the file when it was opened.
  WindowsRandomAccessFile(std::string path, HANDLE handle,
                          const BY_HANDLE_FILE_INFORMATION& opened)
      : path_(std::move(path)), handle_(handle), opened_(opened) {}

  uint64_t Size() override { return SizeOf(opened_); }

  // Holes are not looked for: every byte is read. Sparse files are rare
  // here, and FSCTL_QUERY_ALLOCATED_RANGES answers differently on the file
  // systems and emulations the program meets.
  uint64_t SkipHole(uint64_t offset) override { return offset; }

  bool ChangedSinceOpened() override {
    BY_HANDLE_FILE_INFORMATION now;
    if (!::GetFileInformationByHandle(handle_.get(), &now)) {
      throw WindowsError(path_, FileAction::kRead);
    }
    return SizeOf(now) != SizeOf(opened_) ||
           ::CompareFileTime(&now.ftLastWriteTime, &opened_.ftLastWriteTime) !=
               0;
  }

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
  BY_HANDLE_FILE_INFORMATION opened_;
};

// The ordinary files of `directory` that `keep` accepts, listed by its path.
std::vector<std::string> ListByPath(const std::string& directory,
                                    const NameFilter& keep) {
  WIN32_FIND_DATAW entry;
  HANDLE find = ::FindFirstFileExW(
      SystemPath(JoinPathWith(directory, "*", kSeparators)).c_str(),
      FindExInfoBasic, &entry, FindExSearchNameMatch, nullptr,
      FIND_FIRST_EX_LARGE_FETCH);
  std::vector<std::string> names;
  if (find == INVALID_HANDLE_VALUE) {
    DWORD error = ::GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) return names;  // An empty root.
    DWORD attributes = ::GetFileAttributesW(SystemPath(directory).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      throw Error(directory, FileAction::kListFolder, MessageId::kNotAFolder);
    }
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

class WindowsEnv;

// The folder a run opened, held by a handle that does not share deletion
// for as long as the Folder lives, so that the folder cannot be renamed or
// removed meanwhile. Names are joined to its path, so listing and
// replacing first check that the folder there is still the one held.
class WindowsFolder : public Folder {
 public:
  WindowsFolder(WindowsEnv* env, std::string directory, HANDLE handle)
      : env_(env), directory_(std::move(directory)), handle_(handle) {}

  std::vector<std::string> ListFiles(const NameFilter& keep) override {
    CheckStillHeld(FileAction::kListFolder);
    return ListByPath(directory_, keep);
  }
  std::unique_ptr<RandomAccessFile> OpenFile(std::string_view name) override;
  std::unique_ptr<ReplacementFile> NewReplacementFile(
      const std::string& name) override;

 private:
  // Throws unless the folder at the path is the one held: a folder above it
  // may be renamed where the file system allows it.
  void CheckStillHeld(FileAction action) {
    ScopedHandle now(::CreateFileW(
        SystemPath(directory_).c_str(), FILE_READ_ATTRIBUTES,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!now.valid()) throw WindowsError(directory_, action);
    if (!SameFile(now.get(), handle_.get())) {
      throw Error(directory_, MessageId::kFolderSwapped);
    }
  }

  WindowsEnv* env_;
  std::string directory_;
  ScopedHandle handle_;
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

  std::string_view Separators() const override { return kSeparators; }

  std::unique_ptr<Folder> OpenFolder(const std::string& directory) override;

  std::unique_ptr<RandomAccessFile> OpenFile(const std::string& path) override {
    ScopedHandle handle = OpenOrdinaryFile(path);
    if (!handle.valid()) return nullptr;
    BY_HANDLE_FILE_INFORMATION opened;
    if (!::GetFileInformationByHandle(handle.get(), &opened)) {
      throw WindowsError(path, FileAction::kRead);
    }
    return std::make_unique<WindowsRandomAccessFile>(path, handle.Release(),
                                                     opened);
  }

  // Handles are limited only by memory, to about sixteen million.
  size_t OpenFileRoom() override { return std::numeric_limits<size_t>::max(); }

  std::string TempDirectory() override {
    char buffer[kTempBufferSize];
    DWORD length = ::GetTempPathA(sizeof buffer, buffer);
    if (length == 0) throw WindowsError("", FileAction::kFindTempFolder);
    if (length >= sizeof buffer) {
      throw Error("", MessageId::kTempFolderTooLong);
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
      throw Error(directory, FileAction::kCreateTemp, MessageId::kNoNameGiven);
    }
    buffer.resize(end);
    // The name is in the ANSI code page; the program's paths are UTF-8.
    return Narrow(Widen(buffer, CP_ACP));
  }

 private:
  // Both buffers of the ANSI temporary-file calls, in characters: a path
  // of up to 255 and its NUL.
  static constexpr DWORD kTempBufferSize = 256;
};

// The folder is opened for listing (which counts, unlike reading its
// attributes only, for sharing), without FILE_SHARE_DELETE: nobody may
// rename or remove it while it is held. Where another program holds it
// with deletion allowed, it is held sharing that too, and only the checks
// of the listing and the replacement find it moved.
std::unique_ptr<Folder> WindowsEnv::OpenFolder(const std::string& directory) {
  std::wstring wide = SystemPath(directory);
  HANDLE handle = INVALID_HANDLE_VALUE;
  for (DWORD share :
       {DWORD{FILE_SHARE_READ | FILE_SHARE_WRITE},
        DWORD{FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE}}) {
    handle = ::CreateFileW(wide.c_str(), FILE_LIST_DIRECTORY | SYNCHRONIZE,
                           share, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle != INVALID_HANDLE_VALUE ||
        ::GetLastError() != ERROR_SHARING_VIOLATION) {
      break;
    }
  }
  if (handle == INVALID_HANDLE_VALUE) {
    DWORD error = ::GetLastError();
    // The listing's own words for why (a missing path, a file), as a run
    // told them before it held its folder.
    ListByPath(directory, [](std::string_view) { return false; });
    throw WindowsError(directory, FileAction::kListFolder, error);
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(handle, &info) ||
      !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    ::CloseHandle(handle);
    throw Error(directory, FileAction::kListFolder, MessageId::kNotAFolder);
  }
  return std::make_unique<WindowsFolder>(this, directory, handle);
}

std::unique_ptr<RandomAccessFile> WindowsFolder::OpenFile(
    std::string_view name) {
  return env_->OpenFile(env_->JoinPath(directory_, name));
}

std::unique_ptr<ReplacementFile> WindowsFolder::NewReplacementFile(
    const std::string& name) {
  CheckStillHeld(FileAction::kCreateIn);
  return NewStagedReplacement(directory_, name);
}

}  // namespace

Env& Env::Default() {
  static WindowsEnv env;
  return env;
}

namespace {

// `folder` full, with "\\" for "/" and without a separator at its end, so
// that two spellings of one folder compare equal but for case.
std::wstring FullFolder(const std::string& folder) {
  std::wstring wide = Widen(folder);
  DWORD length = ::GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (length != 0) {
    std::wstring full(length, L'\0');
    length = ::GetFullPathNameW(wide.c_str(), length, full.data(), nullptr);
    full.resize(length);
    wide = std::move(full);
  }
  while (!wide.empty() && (wide.back() == L'\\' || wide.back() == L'/')) {
    wide.pop_back();
  }
  return wide;
}

// The value of the environment variable `name`, as UTF-8.
std::string EnvironmentVariable(const wchar_t* name) {
  DWORD length = ::GetEnvironmentVariableW(name, nullptr, 0);
  if (length == 0) return "";
  std::wstring value(length, L'\0');
  length = ::GetEnvironmentVariableW(name, value.data(), length);
  value.resize(length);
  return Narrow(value);
}

}  // namespace

std::string DefaultDirectory(Env& env, std::string_view invoked) {
  std::string program_folder = env.ProgramDirectory();
  // Compared by name, never opened: a folder of PATH on a share that is
  // away would hold the start up.
  auto same_folder = [](const std::string& a, const std::string& b) {
    std::wstring x = FullFolder(a);
    std::wstring y = FullFolder(b);
    return ::CompareStringOrdinal(x.data(), static_cast<int>(x.size()),
                                  y.data(), static_cast<int>(y.size()),
                                  TRUE) == CSTR_EQUAL;
  };
  if (!FoundThroughPath(invoked, std::string(kSeparators) + ":", program_folder,
                        SearchPathFolders(EnvironmentVariable(L"PATH"), ';'),
                        same_folder)) {
    return program_folder;
  }
  DWORD length = ::GetCurrentDirectoryW(0, nullptr);
  std::wstring working(length, L'\0');
  length = ::GetCurrentDirectoryW(length, working.data());
  if (length == 0 || length >= working.size()) return ".";
  working.resize(length);
  return Narrow(working);
}

std::string UserLanguageTag() {
  const LanguageRow* spoken =
      LanguageOfWindowsId(PRIMARYLANGID(::GetUserDefaultUILanguage()));
  return std::string(spoken != nullptr ? spoken->code : kLanguages[0].code);
}

void PrepareProcess() {}

void SystemTextsInEnglish() { english_system_texts = true; }

// Windows starts a thread on an idle processor where there is one.
std::thread StartThread(std::function<void()> work) {
  return std::thread(std::move(work));
}

Message WindowsErrorCause(DWORD error) { return ErrorCause(error); }

}  // namespace tevgen