#include "platform/error.h"

namespace tevgen {

std::string_view ActionText(FileAction action) {
  switch (action) {
    case FileAction::kNone:
      break;
    case FileAction::kOpen:
      return "cannot open the file";
    case FileAction::kRead:
      return "cannot read the file";
    case FileAction::kCreateIn:
      return "cannot create a new file in the folder";
    case FileAction::kWrite:
      return "cannot write the file";
    case FileAction::kSync:
      return "cannot write the file to disk";
    case FileAction::kSetPermissions:
      return "cannot set the file's permissions";
    case FileAction::kReplace:
      return "cannot replace the file";
    case FileAction::kSyncFolder:
      return "the file was replaced, but the folder could not be written to "
             "disk";
    case FileAction::kOpenFolder:
      return "cannot open the folder";
    case FileAction::kListFolder:
      return "cannot list the folder";
    case FileAction::kFindProgram:
      return "cannot find the program's own folder";
    case FileAction::kFindTempFolder:
      return "cannot find the folder for temporary files";
    case FileAction::kCreateTemp:
      return "cannot create a temporary file";
    case FileAction::kWatch:
      return "cannot watch the folder";
  }
  return "failed";
}

}  // namespace tevgen
