// Creating uniquely named temporary files in the system's folder for them.
#ifndef TEVGEN_TEXTFILE_TEMP_FILE_H_
#define TEVGEN_TEXTFILE_TEMP_FILE_H_

#include <string>

#include "platform/env.h"

namespace tevgen {

// Creates a new, empty file whose name begins with "txt" in the system's
// temporary folder and returns its full path; the caller owns the file.
// `temp_path` caches the folder: when it is empty the system is asked and
// the answer kept there, so later calls do not ask again. Throws Error when
// the folder cannot be found or no file can be created there; a failed
// lookup leaves `temp_path` empty so that the next call asks anew.
std::string CreateTempFile(Env& env, std::string& temp_path);

}  // namespace tevgen

#endif  // TEVGEN_TEXTFILE_TEMP_FILE_H_
