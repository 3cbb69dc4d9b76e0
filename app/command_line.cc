#include "app/command_line.h"

#include "app/display_name.h"

#ifndef TEVGEN_VERSION
#error "TEVGEN_VERSION must be defined by the build"
#endif

namespace tevgen {

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
  CommandLine result;
  std::vector<std::string> operands;
  bool options_ended = false;
  for (const std::string& arg : args) {
    if (!options_ended && arg.size() > 1 && arg[0] == '-') {
      if (arg == "--") {
        options_ended = true;
      } else if (arg == "-h" || arg == "--help") {
        return {CommandLine::Action::kHelp, std::nullopt, ""};
      } else if (arg == "--version") {
        return {CommandLine::Action::kVersion, std::nullopt, ""};
      } else {
        return {CommandLine::Action::kUsageError, std::nullopt,
                "unknown option '" + DisplayName(arg) + "'"};
      }
    } else {
      operands.push_back(arg);
    }
  }
  if (operands.size() > 1) {
    return {CommandLine::Action::kUsageError, std::nullopt,
            "only one folder can be catalogued at a time"};
  }
  if (operands.size() == 1) {
    if (operands[0].empty()) {
      return {CommandLine::Action::kUsageError, std::nullopt,
              "the folder name is empty"};
    }
    result.directory = operands[0];
  }
  return result;
}

std::string UsageText() {
  return "Usage: tevgen [DIR]\n"
         "Writes tev.xml, the catalogue of the numbered SVG images "
         "(1234.svg, ...)\n"
         "in DIR, or in the folder that holds tevgen when DIR is not given.\n"
         "\n"
         "  -h, --help     show this help and exit\n"
         "      --version  show the version and exit\n"
         "\n"
         "Exit status: 0 catalogue written, 1 error (the old catalogue is "
         "kept),\n"
         "2 wrong usage.\n";
}

std::string VersionText() { return "tevgen " TEVGEN_VERSION "\n"; }

}  // namespace tevgen
