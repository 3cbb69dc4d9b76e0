// The program's reports to its user: a failure, wrong usage and the help,
// each as text for a console ("tevgen: <name>: <reason>", as terminals and
// scripts expect) and as the text of a message box, written for someone who
// double-clicked the program: what went wrong, which file, and what to do,
// without the program's name in front.
#ifndef TEVGEN_APP_REPORT_H_
#define TEVGEN_APP_REPORT_H_

#include <string>
#include <string_view>

#include "messages/messages.h"

namespace tevgen {

struct Report {
  std::string console;
  std::string box;
};

// A failure concerning `name` (a file or folder; empty when none) for
// `reason`. The name may come from whoever filled the folder, so it is
// shown escaped.
Report FailureReport(std::string_view name, const Message& reason,
                     Language language);

// The failure being handled, for a run on `directory`: the one way the run
// and the watch word what a run threw. An Error names its own path and
// reason; running out of memory and any other exception name the folder.
// Call only within a handler of std::exception (Error is one).
Report CaughtFailureReport(const std::string& directory, Language language);

// Wrong usage: `problem`, then on a console a hint to ask for the help, in
// the box the help itself.
Report UsageReport(const Message& problem, Language language);

// The help, asked for.
Report HelpReport(Language language);

}  // namespace tevgen

#endif  // TEVGEN_APP_REPORT_H_
