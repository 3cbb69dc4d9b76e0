// The staged replacement of the Windows Env: the new file written under a
// hidden name beside its target, put in its place by ReplaceFileW (which
// keeps what the old file carries beside its bytes) or moved there, after
// waiting for a program that holds the old file; the leftovers of killed
// processes removed. Windows only.
#ifndef TEVGEN_PLATFORM_STAGED_FILE_WINDOWS_H_
#define TEVGEN_PLATFORM_STAGED_FILE_WINDOWS_H_

#include <windows.h>

#include <memory>
#include <string>

#include "platform/env.h"

namespace tevgen::win {

// Throws when a file of `attributes` at `path` may not be replaced: a
// folder or a device (not an ordinary file, as on Linux), or a file marked
// read-only.
void RefuseToReplace(const std::string& path, DWORD attributes);

// Opens the existing file `target` (`path` in messages) as ReplaceFileW
// will, and throws when it may not be replaced: a device, or a file whose
// access control list does not let the running user replace it. Returns
// the error when another program holds the file, which Commit waits for;
// else ERROR_SUCCESS.
DWORD CheckReplaceable(const std::string& path, const std::wstring& target);

// The replacement of `target` staged as `staged`, whose handle `handle`
// (open for writing) it takes over.
std::unique_ptr<ReplacementFile> StagedReplacement(std::string target,
                                                   std::string staged,
                                                   HANDLE handle);

// Starts the replacement of `name` in `directory` (Folder::NewReplacementFile
// of the Windows Env): refuses a file that may not be replaced, stages the
// new one hidden beside it, and removes what killed processes left staged
// there.
std::unique_ptr<ReplacementFile> NewStagedReplacement(
    const std::string& directory, const std::string& name);

}  // namespace tevgen::win

#endif  // TEVGEN_PLATFORM_STAGED_FILE_WINDOWS_H_
