// tevgen: catalogues the numbered SVG images beside it into tev.xml.
#include <exception>
#include <new>
#include <string>

#include "app/check_report.h"
#include "app/command_line.h"
#include "app/form1.h"
#include "app/report.h"
#include "app/watch.h"
#include "messages/messages.h"
#include "platform/env.h"
#include "platform/error.h"

namespace tevgen {
namespace {

constexpr int kExitError = 1;
constexpr int kExitUsage = 2;

int RunProgram(const std::vector<std::string>& args, std::string_view invoked) {
  CommandLine command = ParseCommandLine(args);
  Language language = LanguageOf(UserLanguageTag());
  // JSON lines read the same in every language, the system's words in them
  // too; and a failure beside them speaks as they do, never a mix.
  if (command.check && command.json) {
    language = Language::kEnglish;
    SystemTextsInEnglish();
  }
  Env& env = Env::Default();
  // Every failure is caught here, so that the stack unwinds and a staged
  // catalogue is removed before the program ends.
  std::string directory;
  try {
    switch (command.action) {
      case CommandLine::Action::kHelp: {
        Report help = HelpReport(language);
        WriteStandardOutput(help.console, Form1::kCaption, help.box);
        return 0;
      }
      case CommandLine::Action::kVersion:
        WriteStandardOutput(VersionText(), Form1::kCaption);
        return 0;
      case CommandLine::Action::kUsageError: {
        Report usage = UsageReport(*command.problem, language);
        WriteStandardError(usage.console, Form1::kCaption, usage.box);
        return kExitUsage;
      }
      case CommandLine::Action::kCatalogue:
        break;
    }
    directory =
        command.directory ? *command.directory : DefaultDirectory(env, invoked);
    if (command.check) {
      return CheckAndReport(
          env, directory, command.jobs.value_or(Form1::kDefaultJobs),
          command.json ? CheckFormat::kJson : CheckFormat::kText, language,
          Form1::kCaption);
    }
    if (command.watch) {
      return WatchAndCatalogue(
          env, directory, command.jobs.value_or(Form1::kDefaultJobs), language);
    }
    Form1 form(env, directory, command.jobs.value_or(Form1::kDefaultJobs));
    form.Form_Load();
    return 0;
  } catch (const std::exception&) {
    // In the user's language (report.h).
    Report report = CaughtFailureReport(directory, language);
    WriteStandardError(report.console, Form1::kCaption, report.box);
  }
  return kExitError;
}

}  // namespace
}  // namespace tevgen

int main(int argc, char** argv) {
  tevgen::PrepareProcess();
  return tevgen::RunProgram(tevgen::ProgramArguments(argc, argv),
                            argc > 0 ? argv[0] : "");
}
