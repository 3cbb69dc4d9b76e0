// Tests of the running platform's Env against the real file system.
#include "platform/env.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "platform/error.h"
#include "test/test_util.h"

namespace tevgen {
namespace {

namespace fs = std::filesystem;
using testing::FolderListing;
using testing::ReadBytes;
using testing::ReadInPieces;
using testing::TempDir;
using testing::WriteBytes;

bool AnyName(std::string_view) { return true; }

std::vector<std::string> Sorted(std::vector<std::string> names) {
  std::sort(names.begin(), names.end());
  return names;
}

TEST(EnvTest, ListsOrdinaryFilesTheFilterKeeps) {
  TempDir dir;
  WriteBytes(dir / "1.svg", "");
  WriteBytes(dir / "2.SVG", "");
  WriteBytes(dir / "notes.txt", "");
  fs::create_directory(dir.path() / "3.svg");
  auto svg_only = [](std::string_view name) {
    return name.size() >= 4 && (name.substr(name.size() - 4) == ".svg" ||
                                name.substr(name.size() - 4) == ".SVG");
  };
  EXPECT_EQ(Sorted(Env::Default().ListFiles(dir.path().string(), svg_only)),
            (std::vector<std::string>{"1.svg", "2.SVG"}));
  EXPECT_EQ(Sorted(Env::Default().ListFiles(dir.path().string(), AnyName)),
            (std::vector<std::string>{"1.svg", "2.SVG", "notes.txt"}));
}

TEST(EnvTest, MissingFolderCannotBeListed) {
  TempDir dir;
  try {
    Env::Default().ListFiles(dir / "missing", AnyName);
    ADD_FAILURE() << "listed";
  } catch (const Error& e) {
    EXPECT_EQ(e.path(), dir / "missing");
    EXPECT_NE(e.reason().find("cannot list the folder"), std::string::npos);
  }
}

TEST(EnvTest, OpenFileReportsMissingFilesByItsResult) {
  TempDir dir;
  EXPECT_EQ(Env::Default().OpenFile(dir / "missing.svg"), nullptr);
  WriteBytes(dir / "a.svg", "<svg/>");
  std::unique_ptr<RandomAccessFile> file =
      Env::Default().OpenFile(dir / "a.svg");
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->Size(), 6u);
  EXPECT_EQ(ReadInPieces(*file), "<svg/>");
}

TEST(EnvTest, FolderOpensItsFilesByName) {
  TempDir dir;
  WriteBytes(dir / "1.svg", "<svg width=\"1.5\"/>");
  WriteBytes(dir / "2.svg", "");
  fs::create_directory(dir.path() / "3.svg");
  std::unique_ptr<Folder> folder =
      Env::Default().OpenFolder(dir.path().string());
  EXPECT_EQ(ReadInPieces(*folder->OpenFile("1.svg")), "<svg width=\"1.5\"/>");
  EXPECT_EQ(ReadInPieces(*folder->OpenFile("2.svg")), "");
  EXPECT_EQ(folder->OpenFile("3.svg"), nullptr);
  EXPECT_EQ(folder->OpenFile("missing.svg"), nullptr);
}

TEST(EnvTest, CommittedReplacementTakesThePlaceOfTheOldFile) {
  TempDir dir;
  WriteBytes(dir / "tev.xml", "old");
  auto file = Env::Default().NewReplacementFile(dir.path().string(), "tev.xml");
  file->Append("new ");
  file->Append("content");
  EXPECT_EQ(ReadBytes(dir / "tev.xml"), "old");
  file->Commit();
  file.reset();
  EXPECT_EQ(ReadBytes(dir / "tev.xml"), "new content");
  EXPECT_EQ(FolderListing(dir.path()), "tev.xml\n");
}

TEST(EnvTest, UncommittedReplacementLeavesNothingBehind) {
  TempDir dir;
  WriteBytes(dir / "tev.xml", "old");
  {
    auto file =
        Env::Default().NewReplacementFile(dir.path().string(), "tev.xml");
    file->Append("half a catalogue");
    // The staged file is never taken for an image.
    for (const auto& entry : fs::directory_iterator(dir.path())) {
      std::string name = entry.path().filename().string();
      EXPECT_FALSE(name.size() >= 4 && name.substr(name.size() - 4) == ".svg");
    }
  }
  EXPECT_EQ(ReadBytes(dir / "tev.xml"), "old");
  EXPECT_EQ(FolderListing(dir.path()), "tev.xml\n");
}

TEST(EnvTest, FirstCatalogueIsCreatedOnCommit) {
  TempDir dir;
  auto file = Env::Default().NewReplacementFile(dir.path().string(), "tev.xml");
  EXPECT_FALSE(fs::exists(dir / "tev.xml"));
  file->Commit();
  EXPECT_TRUE(fs::exists(dir / "tev.xml"));
  EXPECT_EQ(ReadBytes(dir / "tev.xml"), "");
}

TEST(EnvTest, ReplacementInMissingFolderNamesTheFolder) {
  TempDir dir;
  try {
    Env::Default().NewReplacementFile(dir / "missing", "tev.xml");
    ADD_FAILURE() << "created";
  } catch (const Error& e) {
    EXPECT_EQ(e.path(), dir / "missing");
  }
}

TEST(EnvTest, CreateUniqueFileMakesNewEmptyFiles) {
  TempDir dir;
  std::string folder = Env::Default().JoinPath(dir.path().string(), "");
  std::string a = Env::Default().CreateUniqueFile(folder, "txt");
  std::string b = Env::Default().CreateUniqueFile(folder, "txt");
  EXPECT_NE(a, b);
  EXPECT_EQ(a.rfind(folder + "txt", 0), 0u) << a;
  EXPECT_TRUE(fs::is_regular_file(a));
  EXPECT_TRUE(fs::is_regular_file(b));
  EXPECT_EQ(fs::file_size(a), 0u);
}

TEST(EnvTest, TempDirectoryEndsWithASeparator) {
  std::string temp = Env::Default().TempDirectory();
  ASSERT_FALSE(temp.empty());
  EXPECT_TRUE(temp.back() == '/' || temp.back() == '\\') << temp;
  EXPECT_TRUE(fs::is_directory(temp)) << temp;
}

}  // namespace
}  // namespace tevgen
