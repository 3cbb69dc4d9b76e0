// A fixture for tests that start the built program as its users do: a
// folder of images with a copy of the program in it, and another folder to
// start it from. POSIX only: the program is started with fork and exec (the
// Windows build is started under Wine).
//
// TEVGEN_E2E_PROGRAM names the program to test (default: the one this build
// made) and TEVGEN_E2E_LAUNCHER a command that starts it (such as "wine").
#ifndef TEVGEN_TEST_PROGRAM_FIXTURE_H_
#define TEVGEN_TEST_PROGRAM_FIXTURE_H_

#include <gtest/gtest.h>
#include <sys/types.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "test/test_util.h"

namespace tevgen::testing {

// The program under test and how it is started.
struct ProgramUnderTest {
  std::string path;
  std::string launcher;  // Empty: started directly.

  static const ProgramUnderTest& Get();

  bool windows() const { return !launcher.empty(); }
  std::string file_name() const;
  // How the program names an absolute path of this system: under Wine the
  // file system's root is drive Z:.
  std::string Shown(const std::string& path) const;
};

#define SKIP_ON_WINDOWS(why) \
  if (::tevgen::testing::ProgramUnderTest::Get().windows()) GTEST_SKIP() << why

struct Outcome {
  int exit_status = -1;  // 128 + the signal when killed by one.
  std::string out;
  std::string err;
};

// A started program. Output goes through files so that neither stream can
// block it. The destructor waits for it if nobody did.
class ChildProcess {
 public:
  // Starts `argv` in `cwd`, as the unprivileged user when `unprivileged`.
  ChildProcess(const std::vector<std::string>& argv,
               const std::filesystem::path& cwd, bool unprivileged = false);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  void Kill(int signal_number);
  Outcome Wait();

 private:
  TempDir capture_;
  pid_t pid_ = -1;
};

// What the Windows program wrote to a file (CR LF line ends, the OEM code
// page: 437 or 850 under Wine in the tests' locales, which agree on every
// letter the tests use) as the Linux program writes it.
std::string FromWindowsText(std::string_view text);

Outcome RunProgram(const std::vector<std::string>& argv,
                   const std::filesystem::path& cwd, bool unprivileged = false);

inline constexpr std::string_view kCatalogueHead =
    "<?xml version=\"1.0\" encoding=\"ISO-8859-1\" ?>\r\n<tevs>\r\n";
inline constexpr std::string_view kCatalogueTail = "</tevs>\r\n";

class ProgramFolderTest : public ::testing::Test {
 protected:
  ProgramFolderTest();

  static const ProgramUnderTest& Program() { return ProgramUnderTest::Get(); }
  std::string program() const { return images_ / Program().file_name(); }
  std::string catalogue() const { return images_ / "tev.xml"; }
  std::string folder() const { return images_.path().string(); }
  // A path as the program shows it in a message.
  static std::string Shown(const std::string& path) {
    return Program().Shown(path);
  }

  void AddImage(const std::string& name, std::string_view text) {
    WriteBytes(images_ / name, text);
  }
  // An old catalogue that the unprivileged user may replace.
  void AddOldCatalogue(std::string_view text);

  // The command line that starts the program with `args`.
  std::vector<std::string> CommandLine(
      const std::vector<std::string>& args) const;
  // Starts the program with `args` from another folder and waits for it.
  Outcome StartWith(const std::vector<std::string>& args,
                    bool unprivileged = false);
  // Starts the program without arguments, as its users do.
  Outcome Start(bool unprivileged = false) {
    return StartWith({}, unprivileged);
  }

  // Expects a failed run with `message` that left `old` and nothing else.
  void ExpectFailure(const Outcome& outcome, const std::string& message,
                     const std::string& listing_before, std::string_view old);

  TempDir images_;
  TempDir elsewhere_;
};

}  // namespace tevgen::testing

#endif  // TEVGEN_TEST_PROGRAM_FIXTURE_H_
