// Error is the one failure type of tevgen, in every layer: it names the
// file or folder concerned and says in plain words what is wrong. The entry
// point catches it, prints "tevgen: <path>: <reason>" and exits with
// status 1.
//
// The platform layer knows files, not what they are for. Its errors carry
// the operation that failed (action()) and the system's words for why
// (cause()); reason() joins the two in file words ("cannot write the file:
// No space left on device"). A caller that knows what the file is for says
// so with Retold.
#ifndef TEVGEN_PLATFORM_ERROR_H_
#define TEVGEN_PLATFORM_ERROR_H_

#include <stdexcept>
#include <string>
#include <string_view>

namespace tevgen {

// What the platform was doing with a file or folder when it failed.
enum class FileAction {
  kNone,            // not a file operation: an error of the program's own
  kOpen,            // opening a file for reading
  kRead,            // reading an open file
  kCreateIn,        // creating a new file in a folder
  kWrite,           // writing a new file
  kSync,            // forcing a new file to disk
  kSetPermissions,  // giving a new file its permissions
  kReplace,         // putting a new file in place of the old one
  kSyncFolder,      // making a replacement durable, after it was done
  kOpenFolder,
  kListFolder,
  kFindProgram,     // finding the running program's own folder
  kFindTempFolder,  // finding the system's folder for temporary files
  kCreateTemp,      // creating a temporary file
  kWatch,           // watching a folder for changes
};

// The words for `action`, as the start of a reason: "cannot read the file".
std::string_view ActionText(FileAction action);

class Error : public std::runtime_error {
 public:
  // An error of the program's own; `reason` says what is wrong.
  Error(std::string path, std::string reason)
      : Error(std::move(path), FileAction::kNone, "", std::move(reason)) {}

  // A file operation that failed; `cause` is the system's words for why.
  Error(std::string path, FileAction action, std::string cause)
      : Error(std::move(path), action, cause,
              std::string(ActionText(action)) + ": " + cause) {}

  const std::string& path() const { return path_; }
  const std::string& reason() const { return reason_; }
  FileAction action() const { return action_; }
  const std::string& cause() const { return cause_; }

  // The same failure with `action_text` in place of the file words, for a
  // caller that knows what the file is for.
  Error Retold(std::string_view action_text) const {
    return Error(path_, action_, cause_,
                 std::string(action_text) + ": " + cause_);
  }

 private:
  Error(std::string path, FileAction action, std::string cause,
        std::string reason)
      : std::runtime_error(path.empty() ? reason : path + ": " + reason),
        path_(std::move(path)),
        reason_(std::move(reason)),
        action_(action),
        cause_(std::move(cause)) {}

  std::string path_;
  std::string reason_;
  FileAction action_;
  std::string cause_;
};

}  // namespace tevgen

#endif  // TEVGEN_PLATFORM_ERROR_H_
