// Helpers for tests that touch the disk: a scoped temporary folder and
// whole-file reads and writes of raw bytes.
#ifndef TEVGEN_TEST_TEST_UTIL_H_
#define TEVGEN_TEST_TEST_UTIL_H_

#include <filesystem>
#include <string>
#include <string_view>

#include "platform/env.h"

namespace tevgen::testing {

// A new, empty folder under the system's temporary folder, removed with
// everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // The path of `name` inside the folder, as a string.
  std::string operator/(std::string_view name) const;

 private:
  std::filesystem::path path_;
};

void WriteBytes(const std::string& path, std::string_view bytes);
// The file's bytes; empty when it cannot be read.
std::string ReadBytes(const std::string& path);
// The whole of `file`, read in pieces of three bytes, each at its own
// offset.
std::string ReadInPieces(RandomAccessFile& file);
// The names in `folder`, sorted, one per line; for comparing leftovers.
std::string FolderListing(const std::filesystem::path& folder);

}  // namespace tevgen::testing

#endif  // TEVGEN_TEST_TEST_UTIL_H_
