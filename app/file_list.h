// FileListBox is a window's file list: the names of the ordinary files in
// one folder whose names end with the list's extension (in any letter case:
// its pattern is "*" and the extension), sorted by name without regard to
// ASCII letter case. It holds names only, without the folder.
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
  // `extension` (".svg", say) is fixed for the life of the list, and must
  // outlive it: a constant.
  explicit FileListBox(std::string_view extension) : extension_(extension) {}

  // Lists `folder` (a run lists the Folder it reads and replaces through),
  // or `directory` opened through `env`. Throws Error when it cannot be
  // listed; the list is then left as it was.
  void SetPath(Folder& folder);
  void SetPath(Env& env, const std::string& directory);

  size_t ListCount() const { return names_.size(); }
  const std::string& List(size_t index) const { return names_[index]; }

  // Whether `name` matches the pattern.
  bool MatchesPattern(std::string_view name) const;
  // The list order: names compared byte by byte with ASCII letters folded
  // to lower case; names equal but for case by their raw bytes.
  static bool NameLess(std::string_view a, std::string_view b);
  // Sorts `names` into the list order.
  static void SortNames(std::vector<std::string>& names);

 private:
  std::string_view extension_;
  std::vector<std::string> names_;
};

}  // namespace tevgen

#endif  // TEVGEN_APP_FILE_LIST_H_
