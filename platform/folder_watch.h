// FolderWatch waits for changes of one folder's entries: a file created,
// written and closed, removed, renamed, moved in or out, or its attributes
// changed. It knows files, never what they are for: the caller's NameFilter
// says which names matter, and names beginning with "." (staged files,
// which listings leave out too) never do. Waiting takes no CPU: the system
// wakes it (inotify on Linux, ReadDirectoryChangesW on Windows).
//
// The watch starts when it is made; a change made after that is never
// missed: it is reported by the next Wait, however long after. Changes are
// not counted or named, only reported; the caller lists the folder again.
// A FolderWatch is used from one thread.
#ifndef TEVGEN_PLATFORM_FOLDER_WATCH_H_
#define TEVGEN_PLATFORM_FOLDER_WATCH_H_

#include <chrono>
#include <memory>
#include <string>
#include <string_view>

#include "platform/env.h"

namespace tevgen {

enum class FolderEvent {
  kTimeout,   // nothing happened within the time given
  kChanged,   // one or more wanted names changed
  kOverflow,  // the system dropped events: anything may have changed
  kGone,      // the folder was removed, renamed or unmounted; no more events
  kStopped,   // the user asked the program to end (Ctrl+C on Windows)
};

class FolderWatch {
 public:
  virtual ~FolderWatch() = default;

  // Waits until something has happened or `timeout` has passed; a negative
  // timeout waits for ever. Everything that happened before the call is
  // taken at once: the result is the weightiest of it (kGone and kStopped
  // before kOverflow before kChanged). Once kGone has been returned, every
  // later Wait returns it at once.
  virtual FolderEvent Wait(std::chrono::milliseconds timeout) = 0;
};

// Starts watching `directory`; `wanted` decides which names matter. Throws
// Error (FileAction::kWatch) when the folder cannot be watched (missing, no
// permission, the system's limit of watches reached).
std::unique_ptr<FolderWatch> WatchFolder(const std::string& directory,
                                         NameFilter wanted);

// Writes a watch's message (one line ending with "\n") where its user will
// find it: standard error on Linux and in a Windows console; without a
// console, the Windows event log (Application, source "tevgen"), never a
// window that would wait for a click.
void ReportFromWatch(std::string_view line);

}  // namespace tevgen

#endif  // TEVGEN_PLATFORM_FOLDER_WATCH_H_
