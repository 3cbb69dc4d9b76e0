// tevgen: catalogues the numbered SVG images beside it into tev.xml.
#include <exception>
#include <new>
#include <string>

#include "app/command_line.h"
#include "app/form1.h"
#include "platform/env.h"
#include "platform/error.h"

namespace tevgen {
namespace {

constexpr int kExitError = 1;
constexpr int kExitUsage = 2;

void ReportFailure(std::string_view what) {
  ReportError("tevgen: " + std::string(what), Form1::kCaption);
}

int RunProgram(const std::vector<std::string>& args) {
  CommandLine command = ParseCommandLine(args);
  switch (command.action) {
    case CommandLine::Action::kHelp:
      WriteStandardOutput(UsageText());
      return 0;
    case CommandLine::Action::kVersion:
      WriteStandardOutput(VersionText());
      return 0;
    case CommandLine::Action::kUsageError:
      WriteStandardError("tevgen: " + command.problem + "\n" + UsageText());
      return kExitUsage;
    case CommandLine::Action::kCatalogue:
      break;
  }
  Env& env = Env::Default();
  // Every failure is caught here, so that the stack unwinds and a staged
  // catalogue is removed before the program ends.
  std::string directory;
  try {
    directory = command.directory ? *command.directory : env.ProgramDirectory();
    Form1 form(env, directory);
    form.Form_Load();
    return 0;
  } catch (const Error& e) {
    ReportFailure(e.what());
  } catch (const std::bad_alloc&) {
    ReportFailure(directory + ": not enough memory to catalogue the folder");
  } catch (const std::exception& e) {
    ReportFailure(directory + ": " + e.what());
  }
  return kExitError;
}

}  // namespace
}  // namespace tevgen

int main(int argc, char** argv) {
  return tevgen::RunProgram(tevgen::ProgramArguments(argc, argv));
}
