// Error is the one failure type of tevgen. Whatever stops a run (a folder
// that cannot be listed, an image that cannot be read, an image name that is
// not a number, a catalogue that cannot be written) is thrown as an Error
// that names the file or folder concerned and says in plain words what is
// wrong. The entry point catches it, prints "tevgen: <path>: <reason>" and
// exits with status 1.
#ifndef TEVGEN_PLATFORM_ERROR_H_
#define TEVGEN_PLATFORM_ERROR_H_

#include <stdexcept>
#include <string>

namespace tevgen {

class Error : public std::runtime_error {
 public:
  Error(std::string path, std::string reason)
      : std::runtime_error(path.empty() ? reason : path + ": " + reason),
        path_(std::move(path)),
        reason_(std::move(reason)) {}

  const std::string& path() const { return path_; }
  const std::string& reason() const { return reason_; }

 private:
  std::string path_;
  std::string reason_;
};

}  // namespace tevgen

#endif  // TEVGEN_PLATFORM_ERROR_H_
