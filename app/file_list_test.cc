#include "app/file_list.h"

#include <gtest/gtest.h>

#include <random>

#include "platform/error.h"
#include "platform/memory_env.h"

namespace tevgen {
namespace {

TEST(FileListBoxTest, PatternIsTheSvgExtensionInAnyCase) {
  const struct {
    std::string_view name;
    bool matches;
  } kCases[] = {
      {"1234.svg", true}, {"1234.SVG", true},      {"1234.Svg", true},
      {".svg", true},     {"a.b.svg", true},       {"1234.svgz", false},
      {"1234.sv", false}, {"svg", false},          {"1234svg", false},
      {"tev.xml", false}, {"1234.svg.bak", false}, {"", false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(FileListBox(".svg").MatchesPattern(c.name), c.matches);
  }
}

TEST(FileListBoxTest, SortsByNameWithoutRegardToCase) {
  MemoryEnv env;
  for (const char* name :
       {"999.svg", "1000.svg", "b.SVG", "B.svg", "a.svg", "07.svg", "7.svg",
        "_1.svg", "Z1.svg", "\xE4.svg", "10.svg", "1.svg", "readme.txt"}) {
    env.AddFile(std::string("/pics/") + name, "");
  }
  FileListBox list(".svg");
  list.SetPath(env, "/pics");

  // "_" (0x5F) sorts after digits but before folded letters; "Z" folds to
  // "z"; bytes above 127 come last; equal names but for case by raw bytes.
  const std::vector<std::string> expected = {
      "07.svg", "1.svg", "10.svg", "1000.svg", "7.svg",  "999.svg",
      "_1.svg", "a.svg", "B.svg",  "b.SVG",    "Z1.svg", "\xE4.svg"};
  ASSERT_EQ(list.ListCount(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(list.List(i), expected[i]) << "index " << i;
  }
}

TEST(FileListBoxTest, SortNamesAgreesWithNameLess) {
  // Names that share long prefixes, differ only in case, are shorter than
  // eight bytes or carry bytes above 127 exercise every path of the sort.
  const std::string kAlphabet = "0aA.\xE4\xC4_9sSvVgG";
  std::mt19937 random(7);
  std::uniform_int_distribution<size_t> length(0, 12);
  std::uniform_int_distribution<size_t> letter(0, kAlphabet.size() - 1);
  for (int round = 0; round < 50; ++round) {
    std::vector<std::string> names;
    for (int i = 0; i < (round % 10 == 0 ? 5000 : 200); ++i) {
      std::string name = "00000000";
      name.resize(length(random));
      for (char& c : name) {
        if (letter(random) % 3 == 0) c = kAlphabet[letter(random)];
      }
      names.push_back(name);
    }
    std::vector<std::string> expected = names;
    std::stable_sort(expected.begin(), expected.end(), FileListBox::NameLess);
    FileListBox::SortNames(names);
    ASSERT_EQ(names, expected) << "round " << round;
  }
}

TEST(FileListBoxTest, NameLessIsAStrictOrder) {
  EXPECT_FALSE(FileListBox::NameLess("a.svg", "a.svg"));
  EXPECT_TRUE(FileListBox::NameLess("A.svg", "a.svg"));
  EXPECT_FALSE(FileListBox::NameLess("a.svg", "A.svg"));
  EXPECT_TRUE(FileListBox::NameLess("a", "ab"));
  EXPECT_FALSE(FileListBox::NameLess("ab", "a"));
}

TEST(FileListBoxTest, FolderThatCannotBeListedKeepsTheOldList) {
  MemoryEnv env;
  env.AddFile("/pics/1.svg", "");
  FileListBox list(".svg");
  list.SetPath(env, "/pics");
  EXPECT_THROW(list.SetPath(env, "/missing"), Error);
  EXPECT_EQ(list.ListCount(), 1u);
  EXPECT_EQ(list.List(0), "1.svg");
}

}  // namespace
}  // namespace tevgen
