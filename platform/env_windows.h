// The parts of the Windows Env that its tests and the folder watch reach
// directly. Windows only.
#ifndef TEVGEN_PLATFORM_ENV_WINDOWS_H_
#define TEVGEN_PLATFORM_ENV_WINDOWS_H_

#include <string>
#include <string_view>

namespace tevgen {

// `text`, in the code page `code_page` (UTF-8 unless said), as UTF-16.
std::wstring Widen(std::string_view text, unsigned code_page = 65001);

// UTF-16 `wide` as UTF-8.
std::string Narrow(std::wstring_view wide);

// The system's words for the error `error` (a GetLastError value), in the
// user's language, as the Env's errors say them.
std::string WindowsErrorText(unsigned long error);

// Whether the program is the only process on its console: Windows made
// the console for it (a double click on tevgen.com in Explorer), and closes
// it, with everything written there, when the program ends. False without
// a console and when started from a prompt (which shares the console).
bool AloneOnConsole();

}  // namespace tevgen

#endif  // TEVGEN_PLATFORM_ENV_WINDOWS_H_
