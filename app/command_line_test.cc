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
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    CommandLine command = ParseCommandLine(c.args);
    EXPECT_EQ(command.action, c.action);
    EXPECT_EQ(command.directory, c.directory);
    EXPECT_EQ(command.problem.empty(), c.action != Action::kUsageError);
  }
}

TEST(ParseCommandLineTest, UnknownOptionIsNamed) {
  EXPECT_EQ(ParseCommandLine({"-x"}).problem, "unknown option '-x'");
}

}  // namespace
}  // namespace tevgen
