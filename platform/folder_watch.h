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

#include "messages/messages.h"
#include "platform/env.h"

namespace tevgen {

enum class FolderEvent {
  kTimeout,   // nothing happened within the time given
  kChanged,   // one or more wanted names changed
  kOverflow,  // the system dropped events: anything may have changed
  kGone,      // the folder was removed, renamed or unmounted; no more events
  kStopped,   // the user asked the program to end (Ctrl+C on Windows)
  kFailed,    // waiting itself failed (FailureCause); no more events
};

class FolderWatch {
 public:
  virtual ~FolderWatch() = default;

  // Waits until something has happened or `timeout` has passed; a negative
  // timeout waits for ever. Everything that happened before the call is
  // taken at once: the result is the weightiest of it (kGone and kStopped
  // before kOverflow before kChanged). Once kGone has been returned, every
  // later Wait returns it at once, and so for kFailed.
  virtual FolderEvent Wait(std::chrono::milliseconds timeout) = 0;

  // The system's words for the failure behind kFailed.
  virtual Message FailureCause() const {
    return Message(MessageId::kUnworded, {{"what", ""}});
  }

  // From now on, a change of a name that holds the file `name` holds now
  // (following links) is not reported, until the next call: the file the
  // caller itself wrote, whatever name it went to. Where files cannot be
  // told apart this way, it does nothing.
  virtual void IgnoreFileOf(const std::string& /*name*/) {}
};

// Starts watching `directory`; `wanted` decides which names matter. The
// watch is of the folder the path names now: on Linux, a folder on its way
// that is renamed or removed later ends it (kGone), so that it never waits
// on one folder while the path names another. Returns nullptr when the
// folder (or one above it) does not exist; throws Error (FileAction::kWatch)
// when it cannot be watched (no permission, not a folder, the system's
// limit of watches reached).
std::unique_ptr<FolderWatch> WatchFolder(const std::string& directory,
                                         NameFilter wanted);

// Waits until `directory` may exist: returns at once if it does, else once
// something is made in the nearest folder on its way that exists. Throws
// Error (FileAction::kWatch) when that cannot be waited for.
void WaitForFolder(const std::string& directory);

// Whether the folder `directory` is on a file system mounted read-only for
// this process (as a service sees a folder made after it started).
bool OnReadOnlyMount(const std::string& directory);

// Writes a watch's message (one line ending with "\n") where its user will
// find it: standard error on Linux and in a Windows console; without a
// console, the Windows event log (Application, source "tevgen"), never a
// window that would wait for a click.
void ReportFromWatch(std::string_view line);

}  // namespace tevgen

#endif  // TEVGEN_PLATFORM_FOLDER_WATCH_H_
