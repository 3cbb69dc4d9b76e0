// End-to-end tests: the built program is copied into a folder of images and
// started the way its users start it, and the catalogue's bytes are compared
// with the expected bytes written out here.
//
// The same tests run the Windows build under Wine: TEVGEN_E2E_PROGRAM names
// the program to test and TEVGEN_E2E_LAUNCHER the command that starts it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "test/test_util.h"
#include "test/unprivileged.h"

namespace tevgen {
namespace {

namespace fs = std::filesystem;
using testing::FolderListing;
using testing::ReadBytes;
using testing::TempDir;
using testing::WriteBytes;

// The program under test and how it is started.
struct ProgramUnderTest {
  std::string path = TEVGEN_PROGRAM;
  std::string launcher;  // Empty: started directly.

  static const ProgramUnderTest& Get() {
    static const ProgramUnderTest program = [] {
      ProgramUnderTest p;
      if (const char* path = std::getenv("TEVGEN_E2E_PROGRAM")) p.path = path;
      if (const char* launcher = std::getenv("TEVGEN_E2E_LAUNCHER")) {
        p.launcher = launcher;
      }
      return p;
    }();
    return program;
  }

  bool windows() const { return !launcher.empty(); }
  std::string file_name() const { return fs::path(path).filename().string(); }

  // How the program names an absolute path of this system: under Wine the
  // file system's root is drive Z:.
  std::string Shown(const std::string& path) const {
    if (!windows() || path.empty() || path[0] != '/') return path;
    std::string shown = "Z:" + path;
    std::replace(shown.begin(), shown.end(), '/', '\\');
    return shown;
  }
};

#define SKIP_ON_WINDOWS(why) \
  if (ProgramUnderTest::Get().windows()) GTEST_SKIP() << why

struct Outcome {
  int exit_status = -1;
  std::string out;
  std::string err;
};

// Starts `argv` in `cwd`, as the unprivileged user when `unprivileged`, and
// waits for it. Output goes through files so that neither stream can block.
Outcome RunProgram(const std::vector<std::string>& argv, const fs::path& cwd,
                   bool unprivileged = false) {
  TempDir capture;
  std::string out_path = capture / "out";
  std::string err_path = capture / "err";
  pid_t pid = ::fork();
  if (pid == 0) {
    int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int in = ::open("/dev/null", O_RDONLY);
    if (out < 0 || err < 0 || in < 0 || ::dup2(in, 0) < 0 ||
        ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0 || ::chdir(cwd.c_str()) != 0) {
      ::_exit(120);
    }
    if (unprivileged && !testing::DropPrivileges()) ::_exit(121);
    std::vector<char*> args;
    for (const std::string& arg : argv) {
      args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    ::_exit(122);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  Outcome outcome;
  outcome.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
  outcome.out = ReadBytes(out_path);
  outcome.err = ReadBytes(err_path);
  return outcome;
}

constexpr std::string_view kHead =
    "<?xml version=\"1.0\" encoding=\"ISO-8859-1\" ?>\r\n<tevs>\r\n";
constexpr std::string_view kTail = "</tevs>\r\n";

class EndToEndTest : public ::testing::Test {
 protected:
  EndToEndTest() {
    // Both folders must be usable by the unprivileged user too.
    testing::OpenToEveryone(images_.path());
    testing::OpenToEveryone(elsewhere_.path());
    fs::copy_file(Program().path, program());
  }

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
  void AddOldCatalogue(std::string_view text) {
    WriteBytes(catalogue(), text);
    fs::permissions(catalogue(), fs::perms(0666));
  }

  // Starts the program with `args` from another folder.
  Outcome StartWith(const std::vector<std::string>& args,
                    bool unprivileged = false) {
    std::vector<std::string> argv;
    if (Program().windows()) argv.push_back(Program().launcher);
    argv.push_back(program());
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProgram(argv, elsewhere_.path(), unprivileged);
  }

  // Starts the program without arguments, as its users do.
  Outcome Start(bool unprivileged = false) {
    return StartWith({}, unprivileged);
  }

  // Expects a failed run with `message` that left `old` and nothing else.
  void ExpectFailure(const Outcome& outcome, const std::string& message,
                     const std::string& listing_before, std::string_view old) {
    EXPECT_EQ(outcome.exit_status, 1);
    EXPECT_EQ(outcome.err, "tevgen: " + message + "\n");
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(ReadBytes(catalogue()), old);
    EXPECT_EQ(FolderListing(images_.path()), listing_before);
  }

  TempDir images_;
  TempDir elsewhere_;
};

TEST_F(EndToEndTest, FolderWithoutImagesGivesThreeLines) {
  Outcome outcome = Start();
  EXPECT_EQ(outcome.exit_status, 0);
  EXPECT_EQ(outcome.out, "");
  EXPECT_EQ(outcome.err, "");
  EXPECT_EQ(ReadBytes(catalogue()), std::string(kHead) + std::string(kTail));
}

TEST_F(EndToEndTest, CataloguesEveryImageExactly) {
  AddImage("0042.svg",
           "<?xml version=\"1.0\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\""
           " width=\"64.0\" height=\"48.5\">\n</svg>\n");
  AddImage("1234.svg", "<svg width=\"210.5\" height=\"99.75\"/>");
  AddImage("999.svg", "<svg width='12.5' height='13.5'/>");
  AddImage("6500.SVG", "<svg height=\"150.25\" width=\"2.5\"/>");
  AddImage("9000.svg", "<svg viewBox=\"0 0 10 10\"/>");
  AddImage("7.svg", "<svg width=\"100\" height=\"50\">\r\n<g x=\"1.5\"/>");
  AddImage("07.svg", "<svg height=150.25 width=\"\xE4\xB5.5\"/>");
  AddImage("2147483647.svg", "");
  AddImage("._1234.svg", "not an image");
  AddImage("readme.txt", "not listed");
  AddImage(
      "Gr\xC3\xBC\xC3\x9F"
      "e.txt",
      "a name beyond ASCII");
  AddImage("tev.xml", "the catalogue of an earlier run");
  fs::create_directory(images_.path() / "5.svg");

  Outcome outcome = Start();
  EXPECT_EQ(outcome.exit_status, 0);
  EXPECT_EQ(outcome.err, "");
  EXPECT_EQ(
      ReadBytes(catalogue()),
      "<?xml version=\"1.0\" encoding=\"ISO-8859-1\" ?>\r\n"
      "<tevs>\r\n"
      "  <tev id=\"42\" displayed_name=\"Smiley\">\r\n"
      "    <frame type=\"svg\" a=\"0\" x=\"0\" y=\"0\" w=\"640\" "
      "h=\"480\"/>\r\n"
      "  </tev>\r\n"
      "  <tev id=\"7\" displayed_name=\"Smiley\">\r\n"
      "    <frame type=\"svg\" a=\"0\" x=\"0\" y=\"0\" w=\"\xE4\xB5\x30\" "
      "h=\"500\"/>\r\n"
      "  </tev>\r\n"
      "  <tev id=\"1234\" displayed_name=\"Pfeile\">\r\n"
      "    <frame type=\"svg\" a=\"0\" x=\"0\" y=\"0\" w=\"2100\" "
      "h=\"990\"/>\r\n"
      "  </tev>\r\n"
      "  <tev id=\"2147483647\" displayed_name=\"Kalender\">\r\n"
      "    <frame type=\"svg\" a=\"0\" x=\"0\" y=\"0\" w=\"0\" h=\"0\"/>\r\n"
      "  </tev>\r\n"
      "  <tev id=\"6500\" displayed_name=\"H\xE4user\">\r\n"
      "    <frame type=\"svg\" a=\"0\" x=\"0\" y=\"0\" w=\"20\" "
      "h=\"1500\"/>\r\n"
      "  </tev>\r\n"
      "  <tev id=\"7\" displayed_name=\"Smiley\">\r\n"
      "    <frame type=\"svg\" a=\"0\" x=\"0\" y=\"0\" "
      "w=\"100&quot; height=&quot;50&quot;&gt;&#13;&#10;&lt;g x=&quot;10\" "
      "h=\"50&quot;&gt;&#13;&#10;&lt;g x=&quot;10\"/>\r\n"
      "  </tev>\r\n"
      "  <tev id=\"9000\" displayed_name=\"Kalender\">\r\n"
      "    <frame type=\"svg\" a=\"0\" x=\"0\" y=\"0\" w=\"0\" h=\"0\"/>\r\n"
      "  </tev>\r\n"
      "  <tev id=\"999\" displayed_name=\"Bubbles\">\r\n"
      "    <frame type=\"svg\" a=\"0\" x=\"0\" y=\"0\" w=\"120\" "
      "h=\"130\"/>\r\n"
      "  </tev>\r\n"
      "</tevs>\r\n");
  // Nothing but the catalogue was added or left behind.
  EXPECT_EQ(FolderListing(images_.path()),
            "._1234.svg\n0042.svg\n07.svg\n1234.svg\n2147483647.svg\n5.svg\n"
            "6500.SVG\n7.svg\n9000.svg\n999.svg\nGr\xC3\xBC\xC3\x9F"
            "e.txt\nreadme.txt\ntev.xml\n" +
                Program().file_name() + "\n");
}

TEST_F(EndToEndTest, NamedFolderIsCataloguedInstead) {
  TempDir other;
  WriteBytes(other / "500.svg", "<svg width=\"3.5\"/>");
  AddImage("1.svg", "");
  fs::path relative = fs::relative(other.path(), elsewhere_.path());
  for (const std::string& arg : {relative.string(), relative.string() + "/"}) {
    SCOPED_TRACE(arg);
    Outcome outcome = StartWith({arg});
    EXPECT_EQ(outcome.exit_status, 0) << outcome.err;
    EXPECT_EQ(ReadBytes(other / "tev.xml"),
              std::string(kHead) +
                  "  <tev id=\"500\" displayed_name=\"Bubbles\">\r\n"
                  "    <frame type=\"svg\" a=\"0\" x=\"0\" y=\"0\" w=\"30\" "
                  "h=\"0\"/>\r\n"
                  "  </tev>\r\n" +
                  std::string(kTail));
  }
  EXPECT_FALSE(fs::exists(catalogue()));
}

TEST_F(EndToEndTest, CommandLineOptions) {
  const struct {
    std::vector<std::string> args;
    int exit_status;
    std::string_view out_start;
    std::string_view err_start;
  } kCases[] = {
      {{"-h"}, 0, "Usage: tevgen [DIR]", ""},
      {{"--help"}, 0, "Usage: tevgen [DIR]", ""},
      {{"--version"}, 0, "tevgen 1.", ""},
      {{"-x"}, 2, "", "tevgen: unknown option '-x'\nUsage: tevgen [DIR]"},
      {{"a", "b"},
       2,
       "",
       "tevgen: only one folder can be catalogued at a time\nUsage:"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.args[0]);
    Outcome outcome = StartWith(c.args);
    EXPECT_EQ(outcome.exit_status, c.exit_status);
    EXPECT_EQ(outcome.out.substr(0, c.out_start.size()), c.out_start);
    EXPECT_EQ(outcome.err.substr(0, c.err_start.size()), c.err_start);
    EXPECT_EQ(outcome.out.empty(), c.out_start.empty());
    EXPECT_EQ(outcome.err.empty(), c.err_start.empty());
  }
  EXPECT_FALSE(fs::exists(catalogue()));
}

TEST_F(EndToEndTest, ImageErrorsKeepTheOldCatalogue) {
  const struct {
    std::string name;
    std::string text;
    std::string reason;
  } kCases[] = {
      {"logo.svg", "",
       "the file name is not an image number (only digits may stand before "
       "\".svg\")"},
      {"Bild-\xC3\xA4.svg", "",
       "the file name is not an image number (only digits may stand before "
       "\".svg\")"},
      {"12 .svg", "",
       "the file name is not an image number (only digits may stand before "
       "\".svg\")"},
      {"-2147483649.svg", "",
       "the image number is outside the range -2147483648 to 2147483647"},
      {"3.svg", "<svg width=.5>",
       "the width attribute has \".\" right after \"=\", so its value cannot "
       "be read"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    AddImage("1.svg", "<svg width=\"1.5\"/>");
    AddImage("tev.xml", "old catalogue");
    AddImage(c.name, c.text);
    std::string before = FolderListing(images_.path());
    ExpectFailure(Start(), Shown(images_ / c.name) + ": " + c.reason, before,
                  "old catalogue");
    fs::remove(images_ / c.name);
  }
}

TEST_F(EndToEndTest, MissingNamedFolderIsAnError) {
  Outcome outcome = StartWith({"no-such-folder"});
  EXPECT_EQ(outcome.exit_status, 1);
  EXPECT_EQ(outcome.err,
            "tevgen: no-such-folder: cannot list the folder: No such file or "
            "directory\n");
}

TEST_F(EndToEndTest, PermissionsOfTheOldCatalogueAreKept) {
  SKIP_ON_WINDOWS("permission bits are POSIX");
  AddImage("tev.xml", "old");
  fs::permissions(catalogue(), fs::perms(0640));
  EXPECT_EQ(Start().exit_status, 0);
  EXPECT_EQ(fs::status(catalogue()).permissions(), fs::perms(0640));
  EXPECT_EQ(ReadBytes(catalogue()), std::string(kHead) + std::string(kTail));
}

TEST_F(EndToEndTest, ReadOnlyCatalogueIsNotReplaced) {
  AddImage("1.svg", "");
  AddImage("tev.xml", "old");
  // On Windows this sets the read-only attribute.
  fs::permissions(catalogue(), fs::perms(0444));
  std::string before = FolderListing(images_.path());
  ExpectFailure(Start(/*unprivileged=*/!Program().windows()),
                Shown(catalogue()) +
                    ": cannot replace the catalogue: Permission "
                    "denied",
                before, "old");
}

TEST_F(EndToEndTest, ReadOnlyFolderIsAnError) {
  SKIP_ON_WINDOWS("needs an unprivileged user, and Wine runs as root here");
  AddImage("1.svg", "");
  AddOldCatalogue("old");
  fs::permissions(images_.path(), fs::perms(0555));
  std::string before = FolderListing(images_.path());
  ExpectFailure(Start(/*unprivileged=*/true),
                folder() +
                    ": cannot write a new catalogue in the folder: "
                    "Permission denied",
                before, "old");
  fs::permissions(images_.path(), fs::perms::all);
}

TEST_F(EndToEndTest, UnreadableImageIsAnError) {
  SKIP_ON_WINDOWS("needs an unprivileged user, and Wine runs as root here");
  AddImage("1.svg", "");
  AddImage("2.svg", "<svg/>");
  AddOldCatalogue("old");
  fs::permissions(images_ / "2.svg", fs::perms(0));
  std::string before = FolderListing(images_.path());
  ExpectFailure(Start(/*unprivileged=*/true),
                images_ / "2.svg" + ": cannot open the file: Permission denied",
                before, "old");
}

TEST_F(EndToEndTest, UnlistableFolderIsAnError) {
  SKIP_ON_WINDOWS("needs an unprivileged user, and Wine runs as root here");
  AddOldCatalogue("old");
  fs::permissions(images_.path(), fs::perms(0311));
  Outcome outcome = Start(/*unprivileged=*/true);
  fs::permissions(images_.path(), fs::perms::all);
  ExpectFailure(outcome,
                folder() + ": cannot list the folder: Permission denied",
                "tev.xml\ntevgen\n", "old");
}

}  // namespace
}  // namespace tevgen
