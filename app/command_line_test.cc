#include "app/command_line.h"

#include <gtest/gtest.h>

namespace tevgen {
namespace {

using Action = CommandLine::Action;

TEST(ParseCommandLineTest, DecidesWhatToDo) {
  const struct {
    std::vector<std::string> args;
    Action action;
    std::optional<std::string> directory;
    std::optional<unsigned> jobs = std::nullopt;
    bool watch = false;
  } kCases[] = {
      {{}, Action::kCatalogue, std::nullopt},
      {{"pics"}, Action::kCatalogue, "pics"},
      {{"/srv/clipart/"}, Action::kCatalogue, "/srv/clipart/"},
      {{"-"}, Action::kCatalogue, "-"},
      {{"--", "-odd"}, Action::kCatalogue, "-odd"},
      {{"--"}, Action::kCatalogue, std::nullopt},
      {{"-h"}, Action::kHelp, std::nullopt},
      {{"--help"}, Action::kHelp, std::nullopt},
      {{"pics", "--help"}, Action::kHelp, std::nullopt},
      {{"--version"}, Action::kVersion, std::nullopt},
      {{"--", "--help"}, Action::kCatalogue, "--help"},
      {{"-x"}, Action::kUsageError, std::nullopt},
      {{"--verbose"}, Action::kUsageError, std::nullopt},
      {{"-hx"}, Action::kUsageError, std::nullopt},
      {{"a", "b"}, Action::kUsageError, std::nullopt},
      {{"--", "a", "b"}, Action::kUsageError, std::nullopt},
      {{""}, Action::kUsageError, std::nullopt},
      {{"-j", "4"}, Action::kCatalogue, std::nullopt, 4},
      {{"-j1", "pics"}, Action::kCatalogue, "pics", 1},
      {{"pics", "--jobs", "16"}, Action::kCatalogue, "pics", 16},
      {{"--jobs=1024"}, Action::kCatalogue, std::nullopt, 1024},
      {{"--", "-j"}, Action::kCatalogue, "-j"},
      {{"-j"}, Action::kUsageError, std::nullopt},
      {{"-j", "0"}, Action::kUsageError, std::nullopt},
      {{"-j", "1025"}, Action::kUsageError, std::nullopt},
      {{"-j", "+2"}, Action::kUsageError, std::nullopt},
      {{"--jobs="}, Action::kUsageError, std::nullopt},
      {{"-jx"}, Action::kUsageError, std::nullopt},
      {{"-j", "0004"}, Action::kCatalogue, std::nullopt, 4},
      {{"-j", "00001"}, Action::kCatalogue, std::nullopt, 1},
      {{"-j", "000000001024"}, Action::kCatalogue, std::nullopt, 1024},
      {{"-j", "000"}, Action::kUsageError, std::nullopt},
      {{"-j", "0001025"}, Action::kUsageError, std::nullopt},
      {{"--watch"}, Action::kCatalogue, std::nullopt, std::nullopt, true},
      {{"-w", "-j2", "pics"}, Action::kCatalogue, "pics", 2, true},
      {{"pics", "-w"}, Action::kCatalogue, "pics", std::nullopt, true},
      {{"--", "-w"}, Action::kCatalogue, "-w"},
      {{"-wj2"}, Action::kUsageError, std::nullopt},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    CommandLine command = ParseCommandLine(c.args);
    EXPECT_EQ(command.action, c.action);
    EXPECT_EQ(command.directory, c.directory);
    EXPECT_EQ(command.jobs, c.jobs);
    EXPECT_EQ(command.watch, c.watch);
    EXPECT_EQ(command.problem.has_value(), c.action == Action::kUsageError);
  }
}

TEST(ParseCommandLineTest, CheckAndItsFormat) {
  const struct {
    std::vector<std::string> args;
    bool check;
    bool json;
    std::optional<MessageId> problem;
    std::optional<std::string> directory = std::nullopt;
  } kCases[] = {
      {{"--check"}, true, false, std::nullopt},
      {{"--check", "pics", "-j2"}, true, false, std::nullopt, "pics"},
      {{"--check", "--format=json"}, true, true, std::nullopt},
      {{"--format", "json", "--check", "pics"},
       true,
       true,
       std::nullopt,
       "pics"},
      {{"--check", "--format=text"}, true, false, std::nullopt},
      {{"--", "--check"}, false, false, std::nullopt, "--check"},
      {{"--check", "--watch"}, false, false, MessageId::kCheckWithWatch},
      {{"-w", "--check"}, false, false, MessageId::kCheckWithWatch},
      {{"--format=json"}, false, false, MessageId::kFormatWithoutCheck},
      {{"--check", "--format=xml"}, false, false, MessageId::kFormatOutOfRange},
      {{"--check", "--format"}, false, false, MessageId::kFormatMissing},
      {{"--check", "--format="}, false, false, MessageId::kFormatMissing},
      {{"--check", "--format", "JSON"},
       false,
       false,
       MessageId::kFormatOutOfRange},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    CommandLine command = ParseCommandLine(c.args);
    EXPECT_EQ(command.check, c.check);
    EXPECT_EQ(command.json, c.json);
    EXPECT_EQ(command.directory, c.directory);
    ASSERT_EQ(command.problem.has_value(), c.problem.has_value());
    if (c.problem) {
      EXPECT_EQ(command.action, Action::kUsageError);
      EXPECT_EQ(command.problem->id(), *c.problem);
    } else {
      EXPECT_EQ(command.action, Action::kCatalogue);
    }
  }
}

TEST(ParseCommandLineTest, ProblemIsNamedAsGiven) {
  const struct {
    std::vector<std::string> args;
    std::string_view problem;
  } kCases[] = {
      {{"-x"}, "unknown option '-x'"},
      {{"-j"}, "'-j' needs a number from 1 to 1024"},
      {{"--jobs"}, "'--jobs' needs a number from 1 to 1024"},
      {{"--jobs="}, "'--jobs' needs a number from 1 to 1024"},
      {{"--jobs=x"}, "'--jobs' takes a number from 1 to 1024, not 'x'"},
      {{"--jobs", "0"}, "'--jobs' takes a number from 1 to 1024, not '0'"},
      {{"-jx"}, "'-j' takes a number from 1 to 1024, not 'x'"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    EXPECT_EQ(ParseCommandLine(c.args).problem->Text(Language::kEnglish),
              c.problem);
  }
}

}  // namespace
}  // namespace tevgen
