#include "app/command_line.h"

#include <string_view>

#include "app/display_name.h"

#ifndef TEVGEN_VERSION
#error "TEVGEN_VERSION must be defined by the build"
#endif

namespace tevgen {

namespace {

CommandLine JustDo(CommandLine::Action action) {
  CommandLine result;
  result.action = action;
  return result;
}

CommandLine UsageError(Message problem) {
  CommandLine result = JustDo(CommandLine::Action::kUsageError);
  result.problem = std::move(problem);
  return result;
}

constexpr std::string_view kJobsWithValue = "--jobs=";
constexpr std::string_view kFormatWithValue = "--format=";

constexpr size_t DigitsOf(unsigned number) {
  return number < 10 ? 1 : 1 + DigitsOf(number / 10);
}

// `text` as a count of images to read at once, or none. Leading zeros are
// taken as in any decimal number ("0004" is 4). Past them, a text with more
// digits than kMaxJobs is never in range, and refusing it at once keeps the
// sum from overflowing.
std::optional<unsigned> ParseJobs(std::string_view text) {
  while (text.size() > 1 && text[0] == '0') text.remove_prefix(1);
  if (text.empty() || text.size() > DigitsOf(kMaxJobs)) return std::nullopt;
  unsigned jobs = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    jobs = jobs * 10 + static_cast<unsigned>(c - '0');
  }
  if (jobs < 1 || jobs > kMaxJobs) return std::nullopt;
  return jobs;
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
  CommandLine result;
  std::vector<std::string> operands;
  bool options_ended = false;
  bool format_given = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (options_ended || arg.size() < 2 || arg[0] != '-') {
      operands.push_back(arg);
    } else if (arg == "--") {
      options_ended = true;
    } else if (arg == "-h" || arg == "--help") {
      return JustDo(CommandLine::Action::kHelp);
    } else if (arg == "--version") {
      return JustDo(CommandLine::Action::kVersion);
    } else if (arg == "-w" || arg == "--watch") {
      result.watch = true;
    } else if (arg == "--check") {
      result.check = true;
    } else if (arg == "--format" || arg.starts_with(kFormatWithValue)) {
      // --format F, --format=F
      std::string value;
      if (arg != "--format") {
        value = arg.substr(kFormatWithValue.size());
      } else if (i + 1 < args.size()) {
        value = args[++i];
      }
      if (value.empty()) {
        return UsageError(MessageId::kFormatMissing);
      }
      if (value != "text" && value != "json") {
        return UsageError(Message(MessageId::kFormatOutOfRange,
                                  {{"value", DisplayName(value)}}));
      }
      format_given = true;
      result.json = value == "json";
    } else if (arg.starts_with("-j") || arg == "--jobs" ||
               arg.starts_with(kJobsWithValue)) {
      // -j N, -jN, --jobs N, --jobs=N; the option named as it was given.
      std::string option = arg[1] == 'j' ? "-j" : "--jobs";
      std::optional<std::string> value;
      if (arg.starts_with(kJobsWithValue)) {
        value = arg.substr(kJobsWithValue.size());
      } else if (arg.size() > 2 && arg[1] == 'j') {
        value = arg.substr(2);
      } else if (i + 1 < args.size()) {
        value = args[++i];
      }
      if (!value || value->empty()) {
        return UsageError(
            Message(MessageId::kJobsMissing,
                    {{"option", option}, {"limit", std::to_string(kMaxJobs)}}));
      }
      result.jobs = ParseJobs(*value);
      if (!result.jobs) {
        return UsageError(Message(MessageId::kJobsOutOfRange,
                                  {{"option", option},
                                   {"limit", std::to_string(kMaxJobs)},
                                   {"value", DisplayName(*value)}}));
      }
    } else {
      return UsageError(
          Message(MessageId::kUnknownOption, {{"option", DisplayName(arg)}}));
    }
  }
  if (result.check && result.watch) {
    return UsageError(MessageId::kCheckWithWatch);
  }
  if (format_given && !result.check) {
    return UsageError(MessageId::kFormatWithoutCheck);
  }
  if (operands.size() > 1) {
    return UsageError(MessageId::kOneFolderOnly);
  }
  if (operands.size() == 1) {
    if (operands[0].empty()) return UsageError(MessageId::kEmptyFolderName);
    result.directory = operands[0];
  }
  return result;
}

std::string VersionText() { return "tevgen " TEVGEN_VERSION "\n"; }

}  // namespace tevgen
