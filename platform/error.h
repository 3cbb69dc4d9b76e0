// Error is the one failure type of tevgen, in every layer: it names the
// file or folder concerned and says in plain words what is wrong, as a
// Message (messages/messages.h) that is worded when it is shown. The entry
// point catches it, prints "tevgen: <path>: <reason>" in the user's
// language and exits with status 1.
//
// The platform layer knows files, not what they are for. Its errors carry
// the operation that failed (action()) and the cause, and say it in file
// words ("cannot write the file: No space left on device"). A caller that
// knows what the file is for says so with Retold.
//
// what() is "<path>: <reason>" in English, for tests and logs. An Error is
// a value: what its copies share is never changed.
#ifndef TEVGEN_PLATFORM_ERROR_H_
#define TEVGEN_PLATFORM_ERROR_H_

#include <optional>
#include <stdexcept>
#include <string>

#include "messages/messages.h"

namespace tevgen {

class Error : public std::runtime_error {
 public:
  // An error of the program's own; `reason` says what is wrong.
  Error(std::string path, Message reason)
      : Error(std::nullopt, std::move(path), std::move(reason)) {}

  // A file operation that failed; `cause` is the system's words for why,
  // shown as they are.
  Error(std::string path, FileAction action, std::string cause)
      : Error(action, std::move(path),
              Message(FileMessage(action), {{"cause", std::move(cause)}})) {}

  // A file operation that failed, for a cause in the program's words.
  Error(std::string path, FileAction action, Message cause)
      : Error(action, std::move(path),
              Message(FileMessage(action), {{"cause", std::move(cause)}})) {}

  // A file operation whose message has no cause (kReplaceNonFile).
  Error(std::string path, FileAction action)
      : Error(action, std::move(path), Message(FileMessage(action))) {}

  const std::string& path() const { return path_; }
  const Message& message() const { return message_; }
  // The message in English, as what() ends.
  std::string reason() const { return message_.Text(Language::kEnglish); }
  // None for an error of the program's own.
  std::optional<FileAction> action() const { return action_; }

  // The same failure in the words of `id`, a message of the same holes,
  // for a caller that knows what the file is for.
  Error Retold(MessageId id) const {
    return Error(action_, path_, message_.WithId(id));
  }

 private:
  Error(std::optional<FileAction> action, std::string path, Message message)
      : std::runtime_error((path.empty() ? "" : path + ": ") +
                           message.Text(Language::kEnglish)),
        path_(std::move(path)),
        message_(std::move(message)),
        action_(action) {}

  std::string path_;
  Message message_;
  std::optional<FileAction> action_;
};

}  // namespace tevgen

#endif  // TEVGEN_PLATFORM_ERROR_H_
