#include "platform/env.h"

#include <gtest/gtest.h>

namespace tevgen {
namespace {

TEST(FoundThroughPathTest, ANameAloneOrAFolderOfPath) {
  auto same = [](const std::string& a, const std::string& b) { return a == b; };
  const std::vector<std::string> path = {"/usr/local/bin", "/usr/bin"};
  const struct {
    std::string_view invoked;
    std::string program_folder;
    bool found;
  } kCases[] = {
      {"tevgen", "/usr/bin", true},           // typed at a prompt
      {"tevgen", "/srv/clipart", true},       // PATH holds "." or the folder
      {"/usr/bin/tevgen", "/usr/bin", true},  // its path typed all the same
      {"/usr/local/bin/tevgen", "/opt/tevgen/bin", true},  // a link on PATH
      {"./tevgen", "/srv/clipart", false},  // a drop-in, started by its path
      {"/srv/clipart/tevgen", "/srv/clipart", false},
      {"../clipart/tevgen", "/srv/clipart", false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.invoked);
    EXPECT_EQ(FoundThroughPath(c.invoked, "/", c.program_folder, path, same),
              c.found);
  }
  // Windows: PowerShell gives the whole path of what it found on PATH.
  EXPECT_TRUE(FoundThroughPath("C:\\Tools\\tevgen.com", "\\/:", "C:\\Tools",
                               {"C:\\Tools"}, same));
  EXPECT_FALSE(FoundThroughPath("C:\\Clips\\tevgen.exe", "\\/:", "C:\\Clips",
                                {"C:\\Tools"}, same));
  EXPECT_FALSE(FoundThroughPath("C:tevgen.com", "\\/:", "C:\\Clips",
                                {"C:\\Tools"}, same));
}

TEST(SearchPathFoldersTest, AbsoluteFoldersOnly) {
  EXPECT_EQ(SearchPathFolders("/usr/local/bin::.:bin:/usr/bin:", ':'),
            (std::vector<std::string>{"/usr/local/bin", "/usr/bin"}));
  EXPECT_EQ(SearchPathFolders("C:\\Windows;\"C:\\My Tools\";;tools;"
                              "\\\\server\\share\\bin;D:/bin;E:",
                              ';'),
            (std::vector<std::string>{"C:\\Windows", "C:\\My Tools",
                                      "\\\\server\\share\\bin", "D:/bin"}));
  EXPECT_EQ(SearchPathFolders("", ':'), std::vector<std::string>{});
}

}  // namespace
}  // namespace tevgen
