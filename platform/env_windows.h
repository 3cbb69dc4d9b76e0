// The parts of the Windows Env that its tests and the folder watch reach
// directly. Windows only.
#ifndef TEVGEN_PLATFORM_ENV_WINDOWS_H_
#define TEVGEN_PLATFORM_ENV_WINDOWS_H_

#include <string>
#include <string_view>

#include "messages/messages.h"

namespace tevgen {

// `text`, in the code page `code_page` (UTF-8 unless said), as UTF-16.
std::wstring Widen(std::string_view text, unsigned code_page = 65001);

// UTF-16 `wide` as UTF-8.
std::string Narrow(std::wstring_view wide);

// Why `error` (a GetLastError value) happened, as the Env's errors say it:
// the system's words in the user's language, or the program's.
Message WindowsErrorCause(unsigned long error);

// Whether the program is the only process on its console: Windows made
// the console for it (a double click on tevgen.com in Explorer), and closes
// it, with everything written there, when the program ends. False without
// a console and when started from a prompt (which shares the console).
bool AloneOnConsole();

// Writes `text` (UTF-8) to standard error as every message of the program
// is written, never in a box: to a console as Unicode, to a file or a pipe
// with CR LF in the console's code page; without a standard error, to the
// console of the program that started this one (the prompt that started
// tevgen.exe). False when there is no console either, or the write failed.
bool WriteToConsoleOrFile(std::string_view text);

}  // namespace tevgen

#endif  // TEVGEN_PLATFORM_ENV_WINDOWS_H_
