// End-to-end tests: the built program is copied into a folder of images and
// started the way its users start it, and the catalogue's bytes are compared
// with the expected bytes written out here.
//
// The same tests run the Windows build under Wine (see program_fixture.h).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "test/program_fixture.h"
#include "test/test_util.h"
#include "test/unprivileged.h"

namespace tevgen {
namespace {

namespace fs = std::filesystem;
using testing::FolderListing;
using testing::OpenToEveryone;
using testing::Outcome;
using testing::ReadBytes;
using testing::TempDir;
using testing::WriteBytes;

using EndToEndTest = testing::ProgramFolderTest;
constexpr std::string_view kHead = testing::kCatalogueHead;
constexpr std::string_view kTail = testing::kCatalogueTail;

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

  // One image at a time or many at once, the bytes are the same.
  for (const auto& args : std::vector<std::vector<std::string>>{
           {}, {"-j", "1"}, {"-j3"}, {"--jobs", "64"}}) {
    SCOPED_TRACE(::testing::PrintToString(args));
    Outcome outcome = StartWith(args);
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
  }
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

// Started without a folder: a copy started by its path catalogues the
// folder that holds it (a drop-in); a program found through PATH, the
// working folder, never the folder of programs it was found in.
TEST_F(EndToEndTest, FolderWithoutArgumentIsTheDropInsOrTheWorkingOne) {
  TempDir bin;     // a folder of programs, on PATH
  TempDir work;    // images where the user stands, without the program
  TempDir linked;  // a link to the program in bin, as installers make them
  for (const TempDir* folder : {&bin, &work, &linked}) {
    OpenToEveryone(folder->path());
  }
  fs::copy_file(Program().path, bin / Program().file_name());
  AddImage("5.svg", "<svg width=\"5.5\"/>");
  WriteBytes(work / "5.svg", "<svg width=\"5.5\"/>");
  const std::string name = Program().file_name();
  fs::create_symlink(bin / name, linked / name);
  const std::string dot = Program().windows() ? ".\\" : "./";
  const struct {
    std::string_view what;
    std::string typed;
    const fs::path* on_path;  // none: the working folder alone
    const fs::path& cwd;
    const fs::path& catalogued;
  } kCases[] = {
      {"found through PATH", name, &bin.path(), work.path(), work.path()},
      {"its path typed, its folder on PATH",
       Shown((bin.path() / name).string()), &bin.path(), work.path(),
       work.path()},
      {"a link on PATH typed by its path, to a folder off PATH",
       Shown((linked.path() / name).string()), &linked.path(), work.path(),
       work.path()},
      {"a drop-in typed by name in its folder", name, nullptr, images_.path(),
       images_.path()},
      {"a drop-in started by its path", dot + name, nullptr, images_.path(),
       images_.path()},
      {"a drop-in started from elsewhere", Shown(program()), &bin.path(),
       work.path(), images_.path()},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    std::string on_path = c.on_path ? Shown(c.on_path->string()) : "";
    std::vector<std::string> argv;
    if (Program().windows()) {
      if (c.on_path == &linked.path()) continue;  // links are POSIX's
      // As typed in cmd; Wine adds WINEPATH to the PATH programs see.
      WriteBytes(elsewhere_ / "run.bat", "cd /d \"" + Shown(c.cwd.string()) +
                                             "\"\r\n" + c.typed + "\r\n");
      argv = {"env", "WINEPATH=" + on_path,        Program().launcher, "cmd",
              "/c",  Shown(elsewhere_ / "run.bat")};
    } else {
      // "." stands for cmd's search of the working folder.
      argv = {"env", "PATH=" + (c.on_path ? on_path : ".") + ":/usr/bin",
              c.typed};
    }
    Outcome outcome = testing::RunProgram(argv, c.cwd);
    EXPECT_EQ(outcome.exit_status, 0) << outcome.err;
    EXPECT_NE(ReadBytes((c.catalogued / "tev.xml").string()).find("w=\"50\""),
              std::string::npos);
    for (const fs::path& folder : {bin.path(), work.path(), images_.path()}) {
      if (folder != c.catalogued) {
        EXPECT_FALSE(fs::exists(folder / "tev.xml")) << folder;
      }
      fs::remove(folder / "tev.xml");
    }
  }
}

TEST_F(EndToEndTest, CommandLineOptions) {
  const struct {
    std::vector<std::string> args;
    int exit_status;
    std::string_view out_start;
    std::string_view err_start;
  } kCases[] = {
      {{"-h"}, 0, "Usage: tevgen [-w] [-j N] [DIR]", ""},
      {{"--help"}, 0, "Usage: tevgen [-w] [-j N] [DIR]", ""},
      {{"--version"}, 0, "tevgen 1.", ""},
      // A usage error is its line and where the help is.
      {{"-x"},
       2,
       "",
       "tevgen: unknown option '-x'\nTry 'tevgen --help' for more "
       "information.\n"},
      {{"a", "b"},
       2,
       "",
       "tevgen: only one folder can be catalogued at a time\nTry 'tevgen "
       "--help' for more information.\n"},
      {{"-j"},
       2,
       "",
       "tevgen: '-j' needs a number from 1 to 1024\nTry 'tevgen --help' for "
       "more information.\n"},
      {{"--jobs=x"},
       2,
       "",
       "tevgen: '--jobs' takes a number from 1 to 1024, not 'x'\nTry 'tevgen "
       "--help' for more information.\n"},
      {{""},
       2,
       "",
       "tevgen: the folder name is empty\nTry 'tevgen --help' for more "
       "information.\n"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.args[0]);
    Outcome outcome = StartWith(c.args);
    EXPECT_EQ(outcome.exit_status, c.exit_status);
    EXPECT_EQ(outcome.out.substr(0, c.out_start.size()), c.out_start);
    EXPECT_EQ(outcome.err.substr(0, c.err_start.size()), c.err_start);
    EXPECT_EQ(outcome.out.empty(), c.out_start.empty());
    EXPECT_EQ(outcome.err.empty(), c.err_start.empty());
    if (c.exit_status == 2) {
      EXPECT_EQ(outcome.err, c.err_start);
    }
  }
  EXPECT_FALSE(fs::exists(catalogue()));
}

// German to a German user, English to everyone else; the system's own
// error texts as the system gives them.
TEST_F(EndToEndTest, MessagesInTheUsersLanguage) {
  AddImage("logo.svg", "");
  const struct {
    std::string lang;
    std::vector<std::string> args;
    std::string_view out_start;
    std::string err;
  } kCases[] = {
      {"de_DE.UTF-8", {"--help"}, "Aufruf: tevgen [-w] [-j N] [ORDNER]\n", ""},
      {"de_DE.UTF-8",
       {"-x"},
       "",
       "tevgen: unbekannte Option '-x'\nMehr dazu zeigt 'tevgen --help'.\n"},
      {"de_DE.UTF-8",
       {"-x'"},
       "",
       "tevgen: unbekannte Option '-x''\nMehr dazu zeigt 'tevgen --help'.\n"},
      {"de_DE.UTF-8",
       {"-j", "write error: x"},
       "",
       "tevgen: '-j' verlangt eine Zahl von 1 bis 1024, nicht 'write error: "
       "x'\n"},
      {"de_DE.UTF-8",
       {},
       "",
       "tevgen: " + Shown(images_ / "logo.svg") +
           ": der Dateiname ist keine Bildnummer (vor \".svg\" "
           "d\xC3\xBCrfen nur Ziffern stehen)\n"},
      {"en_GB.UTF-8", {"--help"}, "Usage: tevgen [-w] [-j N] [DIR]\n", ""},
      {"en_GB.UTF-8",
       {},
       "",
       "tevgen: " + Shown(images_ / "logo.svg") +
           ": the file name is not an image number (only digits may stand "
           "before \".svg\")\n"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.lang + " " + ::testing::PrintToString(c.args));
    // LC_ALL comes first on POSIX, and Wine takes the Windows user
    // interface language from it.
    std::vector<std::string> argv = {"env", "LC_ALL=" + c.lang};
    for (const std::string& arg : CommandLine(c.args)) argv.push_back(arg);
    Outcome outcome = testing::RunProgram(argv, elsewhere_.path());
    EXPECT_EQ(outcome.out.substr(0, c.out_start.size()), c.out_start);
    EXPECT_EQ(outcome.err.substr(0, c.err.size()), c.err);
    EXPECT_EQ(outcome.err.empty(), c.err.empty());
  }
  // The system's words in the message's language: any other language gets
  // English throughout. The locales are the test's own (LOCPATH), so that
  // the system's texts come as on a machine that has them.
  TempDir locales;
  bool made = true;
  for (const char* name : {"de_DE", "fr_FR"}) {
    made = made &&
           std::system(("localedef -i " + std::string(name) + " -f UTF-8 " +
                        (locales / name) + ".UTF-8 2>/dev/null")
                           .c_str()) == 0;
  }
  auto error_in = [&](const std::string& lang) {
    std::vector<std::string> argv = {"env", "LC_ALL=" + lang};
    if (!Program().windows())
      argv.push_back("LOCPATH=" + locales.path().string());
    for (const std::string& arg : CommandLine({"no-such-folder"})) {
      argv.push_back(arg);
    }
    return testing::RunProgram(argv, elsewhere_.path()).err;
  };
  EXPECT_EQ(error_in("fr_FR.UTF-8"), error_in("en_US.UTF-8"));
  if (Program().windows()) return;  // Windows' words: WindowsConventions
  if (!made) {
    GTEST_SKIP() << "localedef cannot make de_DE.UTF-8 and fr_FR.UTF-8 here";
  }
  EXPECT_EQ(error_in("fr_FR.UTF-8"),
            "tevgen: no-such-folder: cannot list the folder: No such file or "
            "directory\n");
  EXPECT_EQ(error_in("de_DE.UTF-8"),
            "tevgen: no-such-folder: der Ordner l\xC3\xA4sst sich nicht "
            "auflisten: Datei oder Verzeichnis nicht gefunden\n");
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
  if (Program().windows()) {  // Windows' own words, not Unix ones
    EXPECT_EQ(outcome.err.rfind(
                  "tevgen: no-such-folder: cannot list the folder: ", 0),
              0u);
    EXPECT_EQ(outcome.err.find("No such file or directory"), std::string::npos);
    EXPECT_EQ(StartWith({program()}).err,
              "tevgen: " + program() +
                  ": cannot list the folder: it is a file, not a folder\n");
    return;
  }
  EXPECT_EQ(outcome.err,
            "tevgen: no-such-folder: cannot list the folder: No such file or "
            "directory\n");
}

TEST_F(EndToEndTest, FolderNamedLikeTheCatalogueIsRefused) {
  fs::create_directory(catalogue());
  Outcome outcome = Start();
  EXPECT_EQ(outcome.exit_status, 1);
  EXPECT_EQ(outcome.err, "tevgen: " + Shown(catalogue()) +
                             ": cannot replace the catalogue: it is not an "
                             "ordinary file\n");
  EXPECT_TRUE(fs::is_directory(catalogue()));
}

TEST_F(EndToEndTest, PermissionsOfTheOldCatalogueAreKept) {
  SKIP_ON_WINDOWS("permission bits are POSIX");
  // Only the permission bits: never setuid, setgid or sticky.
  const struct {
    fs::perms old_mode;
    fs::perms new_mode;
  } kCases[] = {
      {fs::perms(0640), fs::perms(0640)},
      {fs::perms(04755), fs::perms(0755)},
      {fs::perms(02750), fs::perms(0750)},
      {fs::perms(01777), fs::perms(0777)},
  };
  for (const auto& c : kCases) {
    AddImage("tev.xml", "old");
    fs::permissions(catalogue(), c.old_mode);
    EXPECT_EQ(Start().exit_status, 0);
    EXPECT_EQ(fs::status(catalogue()).permissions(), c.new_mode);
    EXPECT_EQ(ReadBytes(catalogue()), std::string(kHead) + std::string(kTail));
  }
}

TEST_F(EndToEndTest, LinkedCatalogueIsWrittenWhereTheLinkPoints) {
  SKIP_ON_WINDOWS("links are followed by the POSIX build");
  // A folder only its owner writes: where others may, nobody's link is
  // followed to a file they could not write.
  fs::permissions(images_.path(), fs::perms(0755));
  TempDir gallery;
  WriteBytes(gallery / "tev.xml", "old");
  fs::create_symlink(gallery / "tev.xml", catalogue());
  EXPECT_EQ(Start().exit_status, 0);
  EXPECT_TRUE(fs::is_symlink(catalogue()));
  EXPECT_EQ(ReadBytes(gallery / "tev.xml"),
            std::string(kHead) + std::string(kTail));
  EXPECT_EQ(FolderListing(gallery.path()), "tev.xml\n");
}

TEST_F(EndToEndTest, ReadOnlyCatalogueIsNotReplaced) {
  AddImage("1.svg", "");
  AddImage("tev.xml", "old");
  // On Windows this sets the read-only attribute.
  fs::permissions(catalogue(), fs::perms(0444));
  std::string before = FolderListing(images_.path());
  ExpectFailure(
      Start(/*unprivileged=*/!Program().windows()),
      Shown(catalogue()) + ": cannot replace the catalogue: " +
          (Program().windows() ? "the file is read-only" : "Permission denied"),
      before, "old");
}

// tevgen --check: one row per folder, with every line the check must print
// (names relative to the folder; the summary last) and whether an
// unreadable image is in it. The check writes nothing, and it agrees with a
// run: a folder without findings that stop a run is catalogued, and one
// with them is refused with the first of them.
TEST_F(EndToEndTest, CheckFindsEveryProblemAndAgreesWithTheRun) {
  constexpr std::string_view kStops = " (this stops a run)";
  const std::string sizes = "<svg width=\"1.5\" height=\"2.5\"/>";
  const struct {
    std::string what;
    std::vector<std::pair<std::string, std::string>> images;
    bool unreadable_13;  // 13.svg, which nobody may read
    std::vector<std::string> lines;
  } kCases[] = {
      {"an empty folder", {}, false, {"images: 0, findings: 0"}},
      {"a clean folder",
       {{"1.svg", sizes}, {"2.SVG", "<svg height=\"20.5\" width=\"10.5\">"}},
       false,
       {"images: 2, findings: 0"}},
      {"what a run lets pass",
       {{"5.svg", "<svg width=\"0.5\" height=\"1.5\">"},
        {"6.svg", "<svg\twidth=\"1.5\" height=\"2.5\">"}},
       false,
       {"5.svg: the width is 0 once cut at its \".\" (\"0\"): the gallery "
        "shows the image at size 0",
        "6.svg: there is no width (\" width=\", a space before it): the "
        "catalogue writes 0",
        "images: 2, findings: 2 (no size: 1, size 0: 1)"}},
      {"every kind at once",
       {{"-5.svg", sizes},
        {"07.svg", sizes},
        {"10.svg", "<svg height=\"0.5\">"},
        {"11.svg", "<svg width=\"20\" height=\"30\"/>"},
        {"12.svg", "<svg width=\"9999999999.5\" height=\"2.5\">"},
        {"17.svg", "<svg width=.5 height=\"1.5\">"},
        {"2147483648.svg", sizes},
        {"7.SVG", sizes},
        {"7.svg", sizes},
        {"8.svg", "<svg width=\"1e3.5\" height=\"2.5\">"},
        {"9.svg", "<svg width=\"100%\" height=\"12.5\">"},
        {"logo.svg", sizes}},
       false,
       {"-5.svg: the image number -5 is below 0, so the image gets no "
        "category",
        "10.svg: there is no width (\" width=\", a space before it): the "
        "catalogue writes 0",
        "10.svg: the height is 0 once cut at its \".\" (\"0\"): the gallery "
        "shows the image at size 0",
        "11.svg: no \".\" follows the width: the catalogue writes 0",
        "11.svg: no \".\" follows the height: the catalogue writes 0",
        "12.svg: the width \"9999999999\" is too large: with the catalogue's "
        "\"0\" after it, it is beyond 2147483647",
        "17.svg: the width attribute has \".\" right after \"=\", so its "
        "value cannot be read (this stops a run)",
        "2147483648.svg: the image number is outside the range -2147483648 "
        "to 2147483647 (this stops a run)",
        "7.SVG: 07.svg has the image number 7 too: the catalogue would hold "
        "two records with id 7",
        "7.svg: 07.svg has the image number 7 too: the catalogue would hold "
        "two records with id 7",
        "8.svg: the width is not a plain number once cut at its \".\": "
        "\"1e3\"",
        "9.svg: the width has no \".\" of its own, so its value runs on into "
        "the text: \"100%\\\" height=\\\"12\"",
        "logo.svg: the file name is not an image number (only digits may "
        "stand before \".svg\") (this stops a run)",
        "images: 12, findings: 13 (stop a run: 3, number given twice: 2, "
        "number below 0: 1, no size: 3, size 0: 1, size not a number: 2, "
        "size too large: 1)"}},
      {"an unreadable image first",
       {{"3.svg", "<svg width=\"100%\" height=\"12.5\">"}, {"logo.svg", sizes}},
       true,
       {"13.svg: cannot open the file: Permission denied (this stops a run)",
        "3.svg: the width has no \".\" of its own, so its value runs on into "
        "the text: \"100%\\\" height=\\\"12\"",
        "logo.svg: the file name is not an image number (only digits may "
        "stand before \".svg\") (this stops a run)",
        "images: 3, findings: 3 (stop a run: 2, size not a number: 1)"}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    if (c.unreadable_13 && Program().windows()) {
      std::printf("skipped %s: permission bits are POSIX\n", c.what.c_str());
      continue;
    }
    TempDir folder;
    testing::OpenToEveryone(folder.path());
    for (const auto& [name, text] : c.images) WriteBytes(folder / name, text);
    if (c.unreadable_13) {
      WriteBytes(folder / "13.svg", sizes);
      fs::permissions(folder / "13.svg", fs::perms::none);
      // The folder of the user who runs the program, whoever runs the
      // test, so that the system refuses the image, not the rule for a
      // folder others write.
      if (::geteuid() == 0) {
        ASSERT_EQ(
            ::chown(folder.path().c_str(), testing::kNobody, testing::kNobody),
            0);
      }
      fs::permissions(folder.path(), fs::perms(0755));
    }
    WriteBytes(folder / "tev.xml", "old");
    fs::permissions(folder / "tev.xml", fs::perms(0666));
    std::string before = FolderListing(folder.path());
    std::string expected;
    std::string first_stop;
    for (const std::string& line : c.lines) {
      bool summary = &line == &c.lines.back();
      expected += (summary ? "" : Shown(folder / "") + "") + line + "\n";
      if (first_stop.empty() && line.ends_with(kStops)) {
        first_stop = line.substr(0, line.size() - kStops.size());
      }
    }
    const std::string dir = Shown(folder.path());
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"--check", dir}, {"-j1", "--check", dir}}) {
      Outcome check = StartWith(args, c.unreadable_13);
      EXPECT_EQ(check.out, expected);
      EXPECT_EQ(check.err, "");
      EXPECT_EQ(check.exit_status, c.lines.size() == 1 ? 0 : 1);
      EXPECT_EQ(FolderListing(folder.path()), before);
      EXPECT_EQ(ReadBytes(folder / "tev.xml"), "old");
    }
    Outcome run = StartWith({dir}, c.unreadable_13);
    if (first_stop.empty()) {
      EXPECT_EQ(run.exit_status, 0) << run.err;
      EXPECT_NE(ReadBytes(folder / "tev.xml"), "old");
    } else {
      EXPECT_EQ(run.exit_status, 1);
      EXPECT_EQ(run.err, "tevgen: " + Shown(folder / "") + first_stop + "\n");
      EXPECT_EQ(ReadBytes(folder / "tev.xml"), "old");
    }
  }
}

// For scripts: JSON lines that stay the same in every language, with any
// bytes of a name kept.
TEST_F(EndToEndTest, CheckForScripts) {
  // A name that is not UTF-8 on Linux; Windows names are UTF-16, and how
  // Wine shows a Linux name beyond ASCII depends on its locale.
  std::string odd = Program().windows() ? "Bild-a.svg" : "Bild-\xE4.svg";
  std::string odd_json =
      Program().windows() ? "Bild-a.svg" : "Bild-\\udce4.svg";
  AddImage(odd, "");
  AddImage("3.svg", "<svg width=\"1.5\">");
  std::string folder_json;  // the folder's path as a JSON string holds it
  for (char c : Shown(folder() + "/")) {
    if (c == '\\') folder_json += '\\';
    folder_json += c;
  }
  std::string expected =
      "{\"kind\":\"no-size\",\"stops_run\":false,\"path\":\"" + folder_json +
      "3.svg\",\"detail\":\"there is no height (\\\" height=\\\", a space "
      "before it): the catalogue writes 0\"}\n"
      "{\"kind\":\"not-an-image-number\",\"stops_run\":true,\"path\":\"" +
      folder_json + odd_json +
      "\",\"detail\":\"the file name is not an image number (only digits may "
      "stand before \\\".svg\\\")\"}\n"
      "{\"kind\":\"summary\",\"images\":2,\"findings\":2,\"by_kind\":"
      "{\"no-size\":1,\"not-an-image-number\":1}}\n";
  for (const char* lang : {"de_DE.UTF-8", "en_US.UTF-8"}) {
    std::vector<std::string> argv = {"env", std::string("LC_ALL=") + lang};
    for (const std::string& arg :
         CommandLine({"--check", "--format=json", Shown(folder())})) {
      argv.push_back(arg);
    }
    Outcome outcome = testing::RunProgram(argv, elsewhere_.path());
    EXPECT_EQ(outcome.out, expected) << lang;
    EXPECT_EQ(outcome.exit_status, 1);
  }
  Outcome german = testing::RunProgram(
      [&] {
        std::vector<std::string> argv = {"env", "LC_ALL=de_DE.UTF-8"};
        for (const std::string& arg :
             CommandLine({"--check", Shown(folder())})) {
          argv.push_back(arg);
        }
        return argv;
      }(),
      elsewhere_.path());
  EXPECT_NE(german.out.find("3.svg: es gibt kein height"), std::string::npos)
      << german.out;
  EXPECT_NE(german.out.find("Bilder: 2, Befunde: 2 (brechen einen Lauf ab: "
                            "1, keine Gr\xC3\xB6\xC3\x9F"
                            "e: 1)\n"),
            std::string::npos)
      << german.out;
  // The system's words too are English in JSON, for a German user on a
  // machine that speaks German (a locale of the test's own): an image the
  // system refuses, in a folder of the user who checks.
  if (Program().windows()) return;  // Windows' words: WindowsConventions
  TempDir locales;
  TempDir refused;
  if (std::system(("localedef -i de_DE -f UTF-8 " + (locales / "de_DE") +
                   ".UTF-8 2>/dev/null")
                      .c_str()) != 0) {
    GTEST_SKIP() << "localedef cannot make de_DE.UTF-8 here";
  }
  WriteBytes(refused / "13.svg", "");
  fs::permissions(refused / "13.svg", fs::perms::none);
  if (::geteuid() == 0) {
    ASSERT_EQ(
        ::chown(refused.path().c_str(), testing::kNobody, testing::kNobody), 0);
  }
  fs::permissions(refused.path(), fs::perms(0755));
  for (const std::string& dir : {refused.path().string(), refused / "gone"}) {
    std::vector<std::string> argv = {"env", "LC_ALL=de_DE.UTF-8",
                                     "LOCPATH=" + locales.path().string()};
    for (const std::string& arg :
         CommandLine({"--check", "--format=json", dir})) {
      argv.push_back(arg);
    }
    Outcome json = testing::RunProgram(argv, elsewhere_.path(), true);
    EXPECT_EQ(json.out + json.err,
              dir == refused.path().string()
                  ? "{\"kind\":\"cannot-open-file\",\"stops_run\":true,"
                    "\"path\":\"" +
                        dir +
                        "/13.svg\",\"detail\":\"cannot "
                        "open the file: Permission denied\"}\n"
                        "{\"kind\":\"summary\",\"images\":1,\"findings\":1,"
                        "\"by_kind\":{\"cannot-open-file\":1}}\n"
                  : "tevgen: " + dir +
                        ": cannot list the folder: No such "
                        "file or directory\n");
  }
}

// tevgen.com --check in cmd, redirected to a file: CR LF, in the OEM code
// page of German Windows (850: "\x94" is o umlaut, "\xE1" sharp s).
TEST_F(EndToEndTest, CheckThroughCmdIsInTheConsolesCodePage) {
  if (!Program().windows()) GTEST_SKIP() << "cmd is the Windows program's";
  AddImage("7.svg", "<svg height=\"1.5\">");
  std::string command = "\"";
  command.append(Shown(program())).append("\" --check \"");
  command.append(Shown(folder())).append("\" >check.txt\r\n");
  WriteBytes(elsewhere_ / "run.bat", command);
  testing::RunProgram(
      {"env", "LC_ALL=de_DE.UTF-8", Program().launcher, "cmd", "/c", "run.bat"},
      elsewhere_.path());
  EXPECT_EQ(ReadBytes(elsewhere_ / "check.txt"),
            Shown(images_ / "7.svg") +
                ": es gibt kein width (\" width=\", mit einem Leerzeichen "
                "davor): der Katalog schreibt 0\r\n"
                "Bilder: 1, Befunde: 1 (keine Gr\x94\xE1"
                "e: 1)\r\n");
}

TEST_F(EndToEndTest, CheckUsageAndFolderErrors) {
  for (const auto& args :
       std::vector<std::vector<std::string>>{{"--check", "--watch"},
                                             {"--format=json"},
                                             {"--check", "--format=x"}}) {
    SCOPED_TRACE(::testing::PrintToString(args));
    Outcome outcome = StartWith(args);
    EXPECT_EQ(outcome.exit_status, 2);
    EXPECT_EQ(outcome.err.rfind("tevgen: '--", 0), 0u) << outcome.err;
    EXPECT_EQ(outcome.out, "");
  }
  // A folder that cannot be read is an error, as for a run.
  Outcome missing = StartWith({"--check", "no-such-folder"});
  EXPECT_EQ(missing.exit_status, 1);
  EXPECT_EQ(missing.err.rfind("tevgen: no-such-folder: cannot list the "
                              "folder: ",
                              0),
            0u)
      << missing.err;
  EXPECT_EQ(missing.out, "");
  EXPECT_FALSE(fs::exists(catalogue()));
}

// What only the Windows build does: its own help options, a folder argument
// whose trailing backslash escaped the closing quote (as cmd completes a
// folder), a drive's current folder, folders deeper than MAX_PATH, and text
// redirected to a file as Windows programs read it.
TEST_F(EndToEndTest, WindowsConventions) {
  if (!Program().windows())
    GTEST_SKIP() << "only the Windows program has these conventions";
  for (const char* option : {"/?", "-?", "/h", "/H"}) {
    Outcome help = StartWith({option});
    EXPECT_EQ(help.exit_status, 0);
    EXPECT_EQ(help.out.rfind("Usage: tevgen", 0), 0u) << option;
  }

  TempDir other;
  fs::create_directory(other.path() / "my clips");
  WriteBytes((other.path() / "my clips" / "7.svg").string(),
             "<svg width=\"7.5\"/>");
  fs::path deep = other.path();
  while (deep.string().size() < 300) deep /= std::string(60, 'd');
  fs::create_directories(deep);
  WriteBytes((deep / "8.svg").string(), "<svg width=\"8.5\"/>");
  std::string quoted_program = "\"";
  quoted_program.append(Shown(program())).append("\" ");
  std::string my_clips = Shown((other.path() / "my clips").string());
  // Drive Y: is `other` here, so that taking "Y:" for the drive's root
  // would write in a temporary folder, not in the root of the system.
  const char* prefix = std::getenv("WINEPREFIX");
  fs::path drive_y =
      (prefix != nullptr ? fs::path(prefix)
                         : fs::path(std::getenv("HOME")) / ".wine") /
      "dosdevices" / "y:";
  fs::remove(drive_y);
  fs::create_directory_symlink(other.path(), drive_y);
  const struct {
    std::string command;  // lines for cmd
    fs::path folder;
    std::string width;
  } kCases[] = {
      {quoted_program + "\"" + my_clips + "\\\"", other.path() / "my clips",
       "w=\"70\""},
      {quoted_program + "\"" + my_clips + "\\\" -j 2",
       other.path() / "my clips", "w=\"70\""},
      // cmd takes the redirection away and leaves a blank.
      {quoted_program + "\"" + my_clips + "\\\" 2>nul",
       other.path() / "my clips", "w=\"70\""},
      {"cd /d \"Y:\\my clips\"\r\nC:\r\n" + quoted_program + "Y:",
       other.path() / "my clips", "w=\"70\""},
      {quoted_program + Shown(deep.string()), deep, "w=\"80\""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.command);
    WriteBytes(elsewhere_ / "run.bat", c.command + "\r\n");
    Outcome outcome = testing::RunProgram(
        {Program().launcher, "cmd", "/c", "run.bat"}, elsewhere_.path());
    EXPECT_EQ(outcome.exit_status, 0) << outcome.err;
    EXPECT_NE(ReadBytes((c.folder / "tev.xml").string()).find(c.width),
              std::string::npos);
    fs::remove(c.folder / "tev.xml");
  }
  fs::remove(drive_y);

  // CR LF, in the OEM code page of German Windows (850: "\x81" is u umlaut).
  WriteBytes(elsewhere_ / "run.bat", quoted_program + "/? >help.txt\r\n");
  testing::RunProgram(
      {"env", "LC_ALL=de_DE.UTF-8", Program().launcher, "cmd", "/c", "run.bat"},
      elsewhere_.path());
  std::string help = ReadBytes(elsewhere_ / "help.txt");
  EXPECT_EQ(help.rfind("Aufruf: tevgen [-w] [-j N] [ORDNER]\r\n", 0), 0u)
      << help;
  EXPECT_NE(help.find("\r\nR\x81"
                      "ckgabewert: 0"),
            std::string::npos);

  // What the code page cannot hold is escaped, never a look-alike: the
  // fullwidth "\uFF11\uFF12.svg" would be "12.svg", a name that is not there.
  // (C.UTF-8, which every machine has, passes the name to Wine as it is;
  // the code page is then 437, which Outcome reads as 850, as alike as the
  // test needs.)
  fs::path polish = other.path() /
                    "Zdj\xC4\x99"
                    "cia \xC5\x82\xC3\xB3"
                    "d\xC5\xBA";
  fs::create_directory(polish);
  WriteBytes((polish / "\xEF\xBC\x91\xEF\xBC\x92.svg").string(), "");
  std::vector<std::string> argv = {"env", "LC_ALL=C.UTF-8"};
  for (const std::string& arg : CommandLine({Shown(polish.string())})) {
    argv.push_back(arg);
  }
  std::string err = testing::RunProgram(argv, elsewhere_.path()).err;
  EXPECT_NE(err.find("\\Zdj<U+0119>cia <U+0142>\xC3\xB3"
                     "d<U+017A>\\<U+FF11><U+FF12>.svg: the file name"),
            std::string::npos)
      << err;
  EXPECT_EQ(err.find("\\12.svg"), std::string::npos) << err;
}

}  // namespace
}  // namespace tevgen
