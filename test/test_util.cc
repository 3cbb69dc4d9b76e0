#include "test/test_util.h"

#include <algorithm>
#include <fstream>
#include <random>
#include <sstream>
#include <vector>

namespace tevgen::testing {

TempDir::TempDir() {
  std::random_device random;
  std::filesystem::path base = std::filesystem::temp_directory_path();
  for (;;) {
    path_ = base / ("tevgen-test-" + std::to_string(random()));
    if (std::filesystem::create_directory(path_)) break;
  }
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::operator/(std::string_view name) const {
  return (path_ / name).string();
}

void WriteBytes(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

std::string FolderListing(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  std::string listing;
  for (const std::string& name : names) listing += name + "\n";
  return listing;
}

std::string ReadInPieces(RandomAccessFile& file) {
  std::string text;
  char piece[3];
  for (uint64_t offset = 0;;) {
    size_t count = file.ReadAt(offset, piece, sizeof piece);
    if (count == 0) return text;
    text.append(piece, count);
    offset += count;
  }
}

}  // namespace tevgen::testing
