// The parts of the Linux Env that the folder watch reaches directly. Linux
// only.
#ifndef TEVGEN_PLATFORM_ENV_LINUX_H_
#define TEVGEN_PLATFORM_ENV_LINUX_H_

#include <string>

namespace tevgen {

// The system's words for `error_number` (an errno value) in the language of
// the program's messages (LanguageOf(UserLanguageTag())), so that a
// message never mixes two: the user's own locale for German, "C" (English)
// for every other language and where the system has no German locale.
// PrepareProcess sets that language; before it, the system's texts are
// English.
std::string SystemErrorText(int error_number);

}  // namespace tevgen

#endif  // TEVGEN_PLATFORM_ENV_LINUX_H_
