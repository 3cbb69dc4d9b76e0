// DisplayName makes a file name, folder name or argument safe to print in a
// one-line message. Names come from whoever filled the folder; printed raw,
// a line feed would split the message and an escape sequence would act on
// the user's terminal (clear it, retitle the window).
//
// A name without control characters is returned unchanged, so ordinary and
// non-ASCII names stay readable. Otherwise it is put in double quotes with
// C escapes: \n \t \r and the like, \" and \\, and octal (\033) for the
// rest. Control characters are C0 (below 0x20), DEL, and C1 (0x80 to 0x9F),
// whether as raw bytes or UTF-8 encoded.
#ifndef TEVGEN_APP_DISPLAY_NAME_H_
#define TEVGEN_APP_DISPLAY_NAME_H_

#include <string>
#include <string_view>

namespace tevgen {

std::string DisplayName(std::string_view name);

}  // namespace tevgen

#endif  // TEVGEN_APP_DISPLAY_NAME_H_
