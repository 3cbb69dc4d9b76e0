#include "app/report.h"

#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <stdexcept>

#include "platform/error.h"

namespace tevgen {
namespace {

// The console keeps its one line; the box says what went wrong, which file
// and what to do, in the user's language.
TEST(ReportTest, FailureForConsoleAndBox) {
  const struct {
    std::string_view name;
    Message reason;
    Language language;
    std::string_view console;
    std::string_view box;
  } kCases[] = {
      {"C:\\clips\\tev.xml",
       Message(MessageId::kCannotReplaceCatalogue,
               {{"cause", Message(MessageId::kInUse)}}),
       Language::kEnglish,
       "tevgen: C:\\clips\\tev.xml: cannot replace the catalogue: the file is "
       "in use by another program\n",
       "Cannot replace the catalogue: the file is in use by another "
       "program.\n\nC:\\clips\\tev.xml\n\nClose the program that uses the "
       "file, then start tevgen again."},
      {"C:\\clips\\tev.xml",
       Message(MessageId::kCannotReplaceCatalogue,
               {{"cause", Message(MessageId::kReadOnly)}}),
       Language::kGerman,
       "tevgen: C:\\clips\\tev.xml: der Katalog l\xC3\xA4sst sich nicht "
       "ersetzen: die Datei ist schreibgesch\xC3\xBCtzt\n",
       "Der Katalog l\xC3\xA4sst sich nicht ersetzen: die Datei ist "
       "schreibgesch\xC3\xBCtzt.\n\nC:\\clips\\tev.xml\n\nEntfernen Sie in "
       "den Eigenschaften der Datei \"Schreibgesch\xC3\xBCtzt\" und starten "
       "Sie tevgen erneut."},
      {"a\nb.svg", MessageId::kImageNumberOutOfRange, Language::kEnglish,
       "tevgen: \"a\\nb.svg\": the image number is outside the range "
       "-2147483648 to 2147483647\n",
       "The image number is outside the range -2147483648 to "
       "2147483647.\n\n\"a\\nb.svg\"\n\nRename or correct the image, then "
       "start tevgen again."},
      {"C:\\clpis",
       Message(MessageId::kCannotListFolder,
               {{"cause", "The system cannot find the path specified"}}),
       Language::kEnglish,
       "tevgen: C:\\clpis: cannot list the folder: The system cannot find "
       "the path specified\n",
       "Cannot list the folder: The system cannot find the path "
       "specified.\n\nC:\\clpis\n\nCheck that the folder exists under this "
       "name and that you may open it, then start tevgen again."},
      {"", MessageId::kOutOfMemory, Language::kEnglish,
       "tevgen: not enough memory to catalogue the folder\n",
       "Not enough memory to catalogue the folder.\n\nPut this right, then "
       "start tevgen again."},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.console);
    Report report = FailureReport(c.name, c.reason, c.language);
    EXPECT_EQ(report.console, c.console);
    EXPECT_EQ(report.box, c.box);
  }
}

// A console gets the problem and where the help is; the box, whose user
// cannot ask for it, the help itself.
// What a run threw, as the run and the watch both tell it: an Error by its
// own path, anything else by the folder.
TEST(ReportTest, CaughtFailureNamesTheErrorsPathElseTheFolder) {
  const struct {
    std::function<void()> fail;
    std::string_view console;
  } kCases[] = {
      {[] { throw Error("/pics/7.svg", MessageId::kImageChanged); },
       "tevgen: /pics/7.svg: the image changed while it was read\n"},
      {[] { throw std::bad_alloc(); },
       "tevgen: /pics: not enough memory to catalogue the folder\n"},
      {[] { throw std::runtime_error("odd"); }, "tevgen: /pics: odd\n"},
  };
  for (const auto& c : kCases) {
    std::string console;
    try {
      c.fail();
    } catch (const std::exception&) {
      console = CaughtFailureReport("/pics", Language::kEnglish).console;
    }
    EXPECT_EQ(console, c.console);
  }
}

TEST(ReportTest, UsageErrorForConsoleAndBox) {
  Message problem(MessageId::kUnknownOption, {{"option", "-x"}});
  const struct {
    Language language;
    std::string_view console;
  } kCases[] = {
      {Language::kEnglish,
       "tevgen: unknown option '-x'\nTry 'tevgen --help' for more "
       "information.\n"},
      {Language::kGerman,
       "tevgen: unbekannte Option '-x'\nMehr dazu zeigt 'tevgen --help'.\n"},
  };
  for (const auto& c : kCases) {
    Report usage = UsageReport(problem, c.language);
    EXPECT_EQ(usage.console, c.console);
    EXPECT_NE(usage.box.find(HelpReport(c.language).box), std::string::npos);
  }
}

TEST(ReportTest, HelpInTheBoxShowsWindowsOptionWithoutExitStatus) {
  for (const LanguageRow& row : kLanguages) {
    Language language = row.language;
    Report help = HelpReport(language);
    EXPECT_EQ(help.console, FormOf(MessageId::kUsage, language));
    EXPECT_NE(help.box.find("/?"), std::string::npos);
    EXPECT_EQ(help.box.find("  "), std::string::npos);  // no columns
    EXPECT_NE(
        UsageReport(Message(MessageId::kUnknownOption, {{"option", "/x"}}),
                    language)
            .box.rfind("tevgen", 0),
        0u);
  }
}

}  // namespace
}  // namespace tevgen
