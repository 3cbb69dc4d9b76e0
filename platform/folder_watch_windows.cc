// FolderWatch on Windows: ReadDirectoryChangesW, overlapped, on the folder
// and on the folder above it (where the folder's own removal or renaming
// shows), and an event that Ctrl+C sets.
#include <windows.h>

#include <string>

#include "platform/env_windows.h"
#include "platform/env_windows_internal.h"
#include "platform/error.h"
#include "platform/folder_watch.h"

namespace tevgen {

namespace {

// Set by Ctrl+C and Ctrl+Break; the watch then ends after the run under
// way, which thus leaves nothing behind. Closing the console, logging off
// or shutting down set it too, but there Windows ends the process when the
// handler returns (or seconds later), cutting a run under way: its staged
// file stays until the next run in the folder removes it.
HANDLE stop_event = nullptr;

BOOL WINAPI OnConsoleStop(DWORD /*type*/) {
  ::SetEvent(stop_event);
  return TRUE;
}

// One folder's changes, asked for again after each answer.
class DirectoryChanges {
 public:
  DirectoryChanges(HANDLE folder, DWORD filter)
      : folder_(folder), filter_(filter) {
    overlapped_.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  }
  ~DirectoryChanges() {
    if (folder_ != INVALID_HANDLE_VALUE) {
      ::CancelIoEx(folder_, &overlapped_);
      DWORD bytes;
      ::GetOverlappedResult(folder_, &overlapped_, &bytes, TRUE);
      ::CloseHandle(folder_);
    }
    ::CloseHandle(overlapped_.hEvent);
  }
  bool valid() const { return folder_ != INVALID_HANDLE_VALUE; }
  HANDLE event() const { return overlapped_.hEvent; }
  HANDLE folder() const { return folder_; }

  bool Ask() {
    ::ResetEvent(overlapped_.hEvent);
    return ::ReadDirectoryChangesW(folder_, buffer_, sizeof buffer_, FALSE,
                                   filter_, nullptr, &overlapped_, nullptr);
  }
  // The answer: false when the folder can no longer be watched; `bytes`
  // 0 when the system dropped changes.
  bool Answer(DWORD* bytes) {
    return ::GetOverlappedResult(folder_, &overlapped_, bytes, FALSE);
  }
  const FILE_NOTIFY_INFORMATION* First() const {
    return reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(buffer_);
  }

 private:
  HANDLE folder_;
  DWORD filter_;
  OVERLAPPED overlapped_ = {};
  alignas(DWORD) char buffer_[64 * 1024];
};

HANDLE OpenFolderHandle(const std::wstring& path) {
  return ::CreateFileW(path.c_str(), FILE_LIST_DIRECTORY,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED,
                       nullptr);
}

class ReadDirectoryChangesWatch : public FolderWatch {
 public:
  ReadDirectoryChangesWatch(std::wstring path, HANDLE folder, NameFilter wanted)
      : path_(std::move(path)),
        folder_(folder,
                FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE |
                    FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_ATTRIBUTES),
        parent_(OpenFolderHandle(path_ + L"\\.."), FILE_NOTIFY_CHANGE_DIR_NAME),
        wanted_(std::move(wanted)) {}

  bool Start() {
    parent_asked_ = parent_.valid() && parent_.Ask();
    return folder_.Ask();
  }

  FolderEvent Wait(std::chrono::milliseconds timeout) override {
    ULONGLONG deadline = ::GetTickCount64() + timeout.count();
    while (!gone_) {
      DWORD left = INFINITE;
      if (timeout.count() >= 0) {
        ULONGLONG now = ::GetTickCount64();
        left = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
      }
      HANDLE events[] = {stop_event, folder_.event(), parent_.event()};
      DWORD count = parent_asked_ ? 3 : 2;
      DWORD woken = ::WaitForMultipleObjects(count, events, FALSE, left);
      if (woken == WAIT_OBJECT_0) return FolderEvent::kStopped;
      if (woken == WAIT_OBJECT_0 + 2) {
        DWORD bytes;
        parent_.Answer(&bytes);
        parent_asked_ = parent_.Ask();
        CheckStillThere();
        continue;
      }
      if (woken == WAIT_FAILED) {
        cause_ = WindowsErrorCause(::GetLastError());
        return FolderEvent::kFailed;
      }
      if (woken != WAIT_OBJECT_0 + 1) return FolderEvent::kTimeout;
      FolderEvent event = TakeChanges();
      CheckStillThere();
      if (gone_) break;
      if (event != FolderEvent::kTimeout) return event;
    }
    return FolderEvent::kGone;
  }

  Message FailureCause() const override { return cause_; }

 private:
  // Reads the answer, then asks again (which reuses the buffer).
  FolderEvent TakeChanges() {
    DWORD bytes = 0;
    // Changes dropped (ERROR_NOTIFY_ENUM_DIR, or no bytes): list again.
    FolderEvent result = folder_.Answer(&bytes) && bytes > 0
                             ? FolderEvent::kTimeout
                             : FolderEvent::kOverflow;
    for (const FILE_NOTIFY_INFORMATION* info = folder_.First();
         result == FolderEvent::kTimeout;
         info = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(
             reinterpret_cast<const char*>(info) + info->NextEntryOffset)) {
      std::string name = Narrow(std::wstring_view(
          info->FileName, info->FileNameLength / sizeof(wchar_t)));
      if (!name.starts_with('.') && wanted_(name)) {
        result = FolderEvent::kChanged;
      }
      if (info->NextEntryOffset == 0) break;
    }
    if (!folder_.Ask()) {
      gone_ = true;
      return FolderEvent::kGone;
    }
    return result;
  }

  // Whether the path still names the folder watched: it may have been
  // removed or renamed with the watch's handle open.
  void CheckStillThere() {
    HANDLE now = OpenFolderHandle(path_);
    if (now == INVALID_HANDLE_VALUE || !win::SameFile(now, folder_.folder())) {
      gone_ = true;
    }
    if (now != INVALID_HANDLE_VALUE) ::CloseHandle(now);
  }

  std::wstring path_;
  DirectoryChanges folder_;
  DirectoryChanges parent_;
  bool parent_asked_ = false;
  NameFilter wanted_;
  bool gone_ = false;
  Message cause_{MessageId::kUnworded};
};

}  // namespace

std::unique_ptr<FolderWatch> WatchFolder(const std::string& directory,
                                         NameFilter wanted) {
  if (stop_event == nullptr) {
    stop_event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ::SetConsoleCtrlHandler(OnConsoleStop, TRUE);
  }
  std::wstring path = Widen(directory);
  while (path.size() > 3 && (path.back() == L'\\' || path.back() == L'/')) {
    path.pop_back();
  }
  HANDLE folder = OpenFolderHandle(path);
  if (folder == INVALID_HANDLE_VALUE) {
    DWORD error = ::GetLastError();
    // Opened as a file, a missing folder is a file not found; a run's
    // listing, and so the user, calls it a path not found.
    if (error == ERROR_FILE_NOT_FOUND) error = ERROR_PATH_NOT_FOUND;
    throw Error(directory, FileAction::kWatch, WindowsErrorCause(error));
  }
  // A file or a device opens too, and a watch on it would wait for ever.
  BY_HANDLE_FILE_INFORMATION info;
  if (::GetFileType(folder) != FILE_TYPE_DISK ||
      (::GetFileInformationByHandle(folder, &info) &&
       !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))) {
    ::CloseHandle(folder);
    throw Error(directory, FileAction::kWatch, MessageId::kNotAFolder);
  }
  auto watch = std::make_unique<ReadDirectoryChangesWatch>(path, folder,
                                                           std::move(wanted));
  if (!watch->Start()) {
    throw Error(directory, FileAction::kWatch,
                WindowsErrorCause(::GetLastError()));
  }
  return watch;
}

// WatchFolder never returns nullptr here: a missing folder is an error.
void WaitForFolder(const std::string&) {}

bool OnReadOnlyMount(const std::string&) { return false; }

void ReportFromWatch(std::string_view line) {
  if (WriteToConsoleOrFile(line)) return;
  // No console: the event log, where background programs report. The
  // source need not be registered; the event viewer shows the text.
  HANDLE log = ::RegisterEventSourceW(nullptr, L"tevgen");
  if (log == nullptr) return;
  while (!line.empty() && line.back() == '\n') line.remove_suffix(1);
  std::wstring text = Widen(line);
  const wchar_t* strings[] = {text.c_str()};
  ::ReportEventW(log, EVENTLOG_ERROR_TYPE, 0, 1, nullptr, 1, 0, strings,
                 nullptr);
  ::DeregisterEventSource(log);
}

}  // namespace tevgen
