#include "app/file_list.h"

#include <algorithm>

namespace tevgen {
namespace {

unsigned char FoldCase(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return (u >= 'A' && u <= 'Z') ? static_cast<unsigned char>(u + ('a' - 'A'))
                                : u;
}

}  // namespace

void FileListBox::SetPath(Env& env, const std::string& directory) {
  std::vector<std::string> names = env.ListFiles(directory, MatchesPattern);
  std::sort(names.begin(), names.end(), NameLess);
  path_ = directory;
  names_ = std::move(names);
}

bool FileListBox::MatchesPattern(std::string_view name) {
  constexpr std::string_view kExtension = kPattern.substr(1);  // ".svg"
  if (name.size() < kExtension.size()) return false;
  std::string_view tail = name.substr(name.size() - kExtension.size());
  return std::equal(tail.begin(), tail.end(), kExtension.begin(),
                    [](char a, char b) { return FoldCase(a) == FoldCase(b); });
}

bool FileListBox::NameLess(std::string_view a, std::string_view b) {
  size_t common = std::min(a.size(), b.size());
  for (size_t i = 0; i < common; ++i) {
    unsigned char fa = FoldCase(a[i]);
    unsigned char fb = FoldCase(b[i]);
    if (fa != fb) return fa < fb;
  }
  if (a.size() != b.size()) return a.size() < b.size();
  return a < b;  // Equal but for case: raw bytes decide.
}

}  // namespace tevgen
