// The parts of the Windows Env that its tests reach directly. Windows only.
#ifndef TEVGEN_PLATFORM_ENV_WINDOWS_H_
#define TEVGEN_PLATFORM_ENV_WINDOWS_H_

namespace tevgen {

// Whether the program is the only process on its console: Windows made
// the console for it (a double click on tevgen.com in Explorer), and closes
// it, with everything written there, when the program ends. False without
// a console and when started from a prompt (which shares the console).
bool AloneOnConsole();

}  // namespace tevgen

#endif  // TEVGEN_PLATFORM_ENV_WINDOWS_H_
