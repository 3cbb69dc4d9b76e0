#include "test/program_fixture.h"

#include <fcntl.h>
#include <iconv.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "test/unprivileged.h"

namespace tevgen::testing {

namespace fs = std::filesystem;

const ProgramUnderTest& ProgramUnderTest::Get() {
  static const ProgramUnderTest program = [] {
    ProgramUnderTest p;
    p.path = TEVGEN_PROGRAM;
    if (const char* path = std::getenv("TEVGEN_E2E_PROGRAM")) p.path = path;
    if (const char* launcher = std::getenv("TEVGEN_E2E_LAUNCHER")) {
      p.launcher = launcher;
    }
    return p;
  }();
  return program;
}

std::string ProgramUnderTest::file_name() const {
  return fs::path(path).filename().string();
}

std::string ProgramUnderTest::Shown(const std::string& path) const {
  if (!windows() || path.empty() || path[0] != '/') return path;
  std::string shown = "Z:" + path;
  std::replace(shown.begin(), shown.end(), '/', '\\');
  return shown;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
                           const fs::path& cwd, bool unprivileged) {
  std::string out_path = capture_ / "out";
  std::string err_path = capture_ / "err";
  pid_ = ::fork();
  if (pid_ != 0) return;
  int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  int in = ::open("/dev/null", O_RDONLY);
  if (out < 0 || err < 0 || in < 0 || ::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 ||
      ::dup2(err, 2) < 0 || ::chdir(cwd.c_str()) != 0) {
    ::_exit(120);
  }
  if (unprivileged && !DropPrivileges()) ::_exit(121);
  std::vector<char*> args;
  for (const std::string& arg : argv) {
    args.push_back(const_cast<char*>(arg.c_str()));
  }
  args.push_back(nullptr);
  ::execvp(args[0], args.data());
  ::_exit(122);
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0) Wait();
}

void ChildProcess::Kill(int signal_number) { ::kill(pid_, signal_number); }

Outcome ChildProcess::Wait() {
  int status = 0;
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
  Outcome outcome;
  outcome.exit_status = WIFEXITED(status)     ? WEXITSTATUS(status)
                        : WIFSIGNALED(status) ? 128 + WTERMSIG(status)
                                              : -1;
  outcome.out = ReadBytes(capture_ / "out");
  outcome.err = ReadBytes(capture_ / "err");
  if (ProgramUnderTest::Get().windows()) {
    outcome.out = FromWindowsText(outcome.out);
    outcome.err = FromWindowsText(outcome.err);
  }
  return outcome;
}

std::string FromWindowsText(std::string_view text) {
  std::string lines;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r' || i + 1 == text.size() || text[i + 1] != '\n') {
      lines += text[i];
    }
  }
  iconv_t convert = ::iconv_open("UTF-8", "IBM850");
  if (convert == reinterpret_cast<iconv_t>(-1)) return lines;
  std::string utf8(lines.size() * 3, '\0');
  char* in = lines.data();
  size_t in_left = lines.size();
  char* out = utf8.data();
  size_t out_left = utf8.size();
  ::iconv(convert, &in, &in_left, &out, &out_left);
  ::iconv_close(convert);
  utf8.resize(utf8.size() - out_left);
  return utf8;
}

Outcome RunProgram(const std::vector<std::string>& argv, const fs::path& cwd,
                   bool unprivileged) {
  return ChildProcess(argv, cwd, unprivileged).Wait();
}

ProgramFolderTest::ProgramFolderTest() {
  // Both folders must be usable by the unprivileged user too.
  OpenToEveryone(images_.path());
  OpenToEveryone(elsewhere_.path());
  fs::copy_file(Program().path, program());
}

void ProgramFolderTest::AddOldCatalogue(std::string_view text) {
  WriteBytes(catalogue(), text);
  fs::permissions(catalogue(), fs::perms(0666));
}

std::vector<std::string> ProgramFolderTest::CommandLine(
    const std::vector<std::string>& args) const {
  std::vector<std::string> argv;
  if (Program().windows()) argv.push_back(Program().launcher);
  argv.push_back(program());
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

Outcome ProgramFolderTest::StartWith(const std::vector<std::string>& args,
                                     bool unprivileged) {
  return RunProgram(CommandLine(args), elsewhere_.path(), unprivileged);
}

void ProgramFolderTest::ExpectFailure(const Outcome& outcome,
                                      const std::string& message,
                                      const std::string& listing_before,
                                      std::string_view old) {
  EXPECT_EQ(outcome.exit_status, 1);
  EXPECT_EQ(outcome.err, "tevgen: " + message + "\n");
  EXPECT_EQ(outcome.out, "");
  EXPECT_EQ(ReadBytes(catalogue()), old);
  EXPECT_EQ(FolderListing(images_.path()), listing_before);
}

}  // namespace tevgen::testing
