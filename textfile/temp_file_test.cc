#include "textfile/temp_file.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/error.h"
#include "test/test_util.h"

namespace tevgen {
namespace {

namespace fs = std::filesystem;

TEST(CreateTempFileTest, TwoCallsGiveTwoNewEmptyFilesInOneFolder) {
  testing::TempDir dir;
  std::string temp_path = dir.path().string() + "/";
  std::string first = CreateTempFile(Env::Default(), temp_path);
  std::string second = CreateTempFile(Env::Default(), temp_path);

  EXPECT_NE(first, second);
  for (const std::string& path : {first, second}) {
    SCOPED_TRACE(path);
    EXPECT_TRUE(fs::is_regular_file(path));
    EXPECT_EQ(fs::file_size(path), 0u);
    EXPECT_EQ(fs::path(path).parent_path(), dir.path());
    EXPECT_EQ(fs::path(path).filename().string().rfind("txt", 0), 0u);
    EXPECT_EQ(path.find('\0'), std::string::npos);
    EXPECT_NE(path.back(), ' ');
  }
}

TEST(CreateTempFileTest, FolderThatDoesNotExistIsAnError) {
  testing::TempDir dir;
  std::string temp_path = dir / "missing/";
  EXPECT_THROW(CreateTempFile(Env::Default(), temp_path), Error);
  EXPECT_TRUE(fs::is_empty(dir.path()));
}

}  // namespace
}  // namespace tevgen
