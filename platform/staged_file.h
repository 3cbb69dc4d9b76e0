// The staged replacement of the Linux Env: the new file written under a
// hidden name beside its target and locked while it is open, removed by a
// stop signal as by a failure, put in place by a rename (by an exchange of
// names in a folder others write) and the folder synced; the leftovers of
// killed processes removed. Linux only.
#ifndef TEVGEN_PLATFORM_STAGED_FILE_H_
#define TEVGEN_PLATFORM_STAGED_FILE_H_

#include <sys/stat.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/env.h"
#include "platform/path_walk.h"

namespace tevgen::posix {

// Whether `name` has the shape of any staged name: hidden, ending in "."
// and the random suffix.
bool LooksStaged(std::string_view name);

// Stages the new file for `target` (resolved from the catalogued folder,
// whose stat is `folder_st`, for its entry `name`; shown as `target_path`):
// the staged file made and registered for the stop signals, given what the
// file it replaces keeps (owner, mode), the old file's pages dropped
// meanwhile, and the leftovers staged for `name` removed. `seen` holds the
// staged names the folder's listing saw, where it has not changed since;
// null has the folder listed.
std::unique_ptr<ReplacementFile> StageReplacement(
    const Resolved& target, const std::string& target_path,
    const std::string& name, const struct stat& folder_st,
    const std::vector<std::string>* seen);

}  // namespace tevgen::posix

#endif  // TEVGEN_PLATFORM_STAGED_FILE_H_
