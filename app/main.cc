// tevgen: catalogues the numbered SVG images beside it into tev.xml.
#include <exception>
#include <new>
#include <string>

#include "app/command_line.h"
#include "app/display_name.h"
#include "app/form1.h"
#include "app/messages.h"
#include "app/watch.h"
#include "platform/env.h"
#include "platform/error.h"

namespace tevgen {
namespace {

constexpr int kExitError = 1;
constexpr int kExitUsage = 2;

// Reports a failure as one line, "tevgen: <name>: <reason>", in the user's
// language. The name may come from whoever filled the folder, so it is
// shown escaped.
void ReportFailure(std::string_view name, std::string_view reason,
                   Language language) {
  std::string line = "tevgen: ";
  if (!name.empty()) line += DisplayName(name) + ": ";
  line += Translate(reason, language);
  line += '\n';
  WriteStandardError(line, Form1::kCaption);
}

int RunProgram(const std::vector<std::string>& args) {
  CommandLine command = ParseCommandLine(args);
  Language language = LanguageOf(UserLanguageTag());
  Env& env = Env::Default();
  // Every failure is caught here, so that the stack unwinds and a staged
  // catalogue is removed before the program ends.
  std::string directory;
  try {
    switch (command.action) {
      case CommandLine::Action::kHelp:
        WriteStandardOutput(std::string(UsageText(language)), Form1::kCaption);
        return 0;
      case CommandLine::Action::kVersion:
        WriteStandardOutput(VersionText(), Form1::kCaption);
        return 0;
      case CommandLine::Action::kUsageError:
        WriteStandardError("tevgen: " + Translate(command.problem, language) +
                               "\n" + std::string(UsageText(language)),
                           Form1::kCaption);
        return kExitUsage;
      case CommandLine::Action::kCatalogue:
        break;
    }
    directory = command.directory ? *command.directory : env.ProgramDirectory();
    if (command.watch) {
      return WatchAndCatalogue(
          env, directory, command.jobs.value_or(Form1::kDefaultJobs), language);
    }
    Form1 form(env, directory, command.jobs.value_or(Form1::kDefaultJobs));
    form.Form_Load();
    return 0;
  } catch (const Error& e) {
    ReportFailure(e.path(), e.reason(), language);
  } catch (const std::bad_alloc&) {
    ReportFailure(directory, "not enough memory to catalogue the folder",
                  language);
  } catch (const std::exception& e) {
    ReportFailure(directory, e.what(), language);
  }
  return kExitError;
}

}  // namespace
}  // namespace tevgen

int main(int argc, char** argv) {
  tevgen::PrepareProcess();
  return tevgen::RunProgram(tevgen::ProgramArguments(argc, argv));
}
