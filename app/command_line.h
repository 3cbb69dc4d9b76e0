// The command line of tevgen. Started without arguments, the program
// catalogues its own folder; a folder may be named instead. Parsing is pure:
// it only decides what to do.
#ifndef TEVGEN_APP_COMMAND_LINE_H_
#define TEVGEN_APP_COMMAND_LINE_H_

#include <optional>
#include <string>
#include <vector>

#include "messages/messages.h"

namespace tevgen {

struct CommandLine {
  enum class Action { kCatalogue, kHelp, kVersion, kUsageError };
  Action action = Action::kCatalogue;
  // The folder to catalogue; none means the program's own folder.
  std::optional<std::string> directory;
  // How many images to read at once (-j N, --jobs N); none means the
  // program's default.
  std::optional<unsigned> jobs;
  // Whether to keep the catalogue current until stopped (-w, --watch)
  // instead of writing it once.
  bool watch = false;
  // Whether to report the images' problems and write nothing (--check)
  // instead of writing the catalogue.
  bool check = false;
  // With check: whether to report for scripts (--format=json), not for a
  // person (--format=text, the default).
  bool json = false;
  // With kUsageError: what is wrong.
  std::optional<Message> problem;
};

// The most images -j may ask to read at once.
inline constexpr unsigned kMaxJobs = 1024;

// `args` are the arguments without the program's name. "--" ends the
// options, so that a folder whose name begins with "-" can be given.
CommandLine ParseCommandLine(const std::vector<std::string>& args);

// The usage text is in messages/messages.def, in each language.
std::string VersionText();

}  // namespace tevgen

#endif  // TEVGEN_APP_COMMAND_LINE_H_
