// FileListBox is the main window's file list, File1: the names of the
// ordinary files in one folder that match "*.svg" (the extension in any
// letter case), sorted by name without regard to ASCII letter case. It holds
// names only, without the folder.
#ifndef TEVGEN_APP_FILE_LIST_H_
#define TEVGEN_APP_FILE_LIST_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/env.h"

namespace tevgen {

class FileListBox {
 public:
  static constexpr std::string_view kPattern = "*.svg";

  // Lists `directory` through `env`. Throws Error when it cannot be listed;
  // the list is then left as it was.
  void SetPath(Env& env, const std::string& directory);

  const std::string& Path() const { return path_; }
  size_t ListCount() const { return names_.size(); }
  const std::string& List(size_t index) const { return names_[index]; }

  // Whether `name` matches kPattern.
  static bool MatchesPattern(std::string_view name);
  // The list order: names compared byte by byte with ASCII letters folded
  // to lower case; names equal but for case by their raw bytes.
  static bool NameLess(std::string_view a, std::string_view b);
  // Sorts `names` into the list order.
  static void SortNames(std::vector<std::string>& names);

 private:
  std::string path_;
  std::vector<std::string> names_;
};

}  // namespace tevgen

#endif  // TEVGEN_APP_FILE_LIST_H_
