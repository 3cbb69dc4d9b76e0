#include "app/file_list.h"

#include <algorithm>
#include <cstdint>

namespace tevgen {
namespace {

unsigned char FoldCase(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return (u >= 'A' && u <= 'Z') ? static_cast<unsigned char>(u + ('a' - 'A'))
                                : u;
}

}  // namespace

void FileListBox::SetPath(Env& env, const std::string& directory) {
  std::vector<std::string> names = env.ListFiles(
      directory,
      [this](std::string_view name) { return MatchesPattern(name); });
  SortNames(names);
  names_ = std::move(names);
}

void FileListBox::SortNames(std::vector<std::string>& names) {
  // Large folders make the sort a noticeable part of a run. Sorting small
  // entries keyed by the first eight folded bytes, packed so that integer
  // order is name order, settles nearly every comparison without touching
  // the names; equal keys fall back to the full comparison.
  struct Entry {
    uint64_t key;
    size_t index;
  };
  std::vector<Entry> entries(names.size());
  for (size_t i = 0; i < names.size(); ++i) {
    uint64_t key = 0;
    const std::string& name = names[i];
    for (size_t byte = 0; byte < 8; ++byte) {
      key = (key << 8) | (byte < name.size() ? FoldCase(name[byte]) : 0);
    }
    entries[i] = {key, i};
  }
  std::sort(entries.begin(), entries.end(),
            [&names](const Entry& a, const Entry& b) {
              if (a.key != b.key) return a.key < b.key;
              return NameLess(names[a.index], names[b.index]);
            });
  std::vector<std::string> sorted;
  sorted.reserve(names.size());
  for (const Entry& entry : entries) {
    sorted.push_back(std::move(names[entry.index]));
  }
  names = std::move(sorted);
}

bool FileListBox::MatchesPattern(std::string_view name) const {
  if (name.size() < extension_.size()) return false;
  std::string_view tail = name.substr(name.size() - extension_.size());
  return std::equal(tail.begin(), tail.end(), extension_.begin(),
                    [](char a, char b) { return FoldCase(a) == FoldCase(b); });
}

bool FileListBox::NameLess(std::string_view a, std::string_view b) {
  size_t common = std::min(a.size(), b.size());
  for (size_t i = 0; i < common; ++i) {
    if (a[i] == b[i]) continue;  // Equal bytes fold equal: the common case.
    unsigned char fa = FoldCase(a[i]);
    unsigned char fb = FoldCase(b[i]);
    if (fa != fb) return fa < fb;
  }
  if (a.size() != b.size()) return a.size() < b.size();
  return a < b;  // Equal but for case: raw bytes decide.
}

}  // namespace tevgen
