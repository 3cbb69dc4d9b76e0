// The program's console and command line on Windows: where its text goes
// (a console as Unicode; a file or a pipe with CR LF in the console's code
// page, what that lacks escaped; a message box for someone who
// double-clicked it) and how its command line is split (/?, the trailing
// quote, a bare drive "Y:").
#include <windows.h>

#include <algorithm>
#include <cwctype>
#include <string>
#include <string_view>
#include <vector>

#include "platform/env.h"
#include "platform/env_windows.h"
#include "platform/error.h"

namespace tevgen {
namespace {

// The console of the parent process (the prompt the program was started
// from), opened once and held until the process ends; nullptr when there
// is none, as for a program of the GUI subsystem that was double-clicked.
HANDLE ParentConsole() {
  static const HANDLE console = []() -> HANDLE {
    if (::AttachConsole(ATTACH_PARENT_PROCESS) ||
        ::GetLastError() == ERROR_ACCESS_DENIED) {  // Attached already.
      HANDLE handle = ::CreateFileW(L"CONOUT$", GENERIC_WRITE, FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
      if (handle != INVALID_HANDLE_VALUE) return handle;
    }
    return nullptr;
  }();
  return console;
}

// Where console text goes: the standard handle when there is one (started
// from a console, or redirected), else the parent's console, else nullptr.
HANDLE OutputHandle(DWORD which) {
  HANDLE handle = ::GetStdHandle(which);
  if (handle != nullptr && handle != INVALID_HANDLE_VALUE &&
      ::GetFileType(handle) != FILE_TYPE_UNKNOWN) {
    return handle;
  }
  return ParentConsole();
}

// Shows `text` in a message box titled `title`, for a program that has no
// console to write to.
void ShowBox(std::string_view text, std::string_view title, UINT icon) {
  while (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  ::MessageBoxW(nullptr, Widen(text).c_str(), Widen(title).c_str(),
                MB_OK | icon);
}

// The code page of text written to a file or a pipe: that of the console
// the program runs in, with which `more`, `findstr` and `type` there read
// it; without a console, the system's OEM code page. (The manifest's UTF-8
// is the process's own code page, which these programs do not know.)
UINT RedirectedCodePage() {
  UINT console = ::GetConsoleOutputCP();
  if (console != 0) return console;
  DWORD oem = 0;
  if (::GetLocaleInfoW(LOCALE_SYSTEM_DEFAULT,
                       LOCALE_IDEFAULTCODEPAGE | LOCALE_RETURN_NUMBER,
                       reinterpret_cast<wchar_t*>(&oem),
                       sizeof oem / sizeof(wchar_t)) == 0 ||
      oem == 0) {
    return CP_UTF8;
  }
  return oem;
}

// `wide` in `code_page`, and whether every character was held. Never a
// look-alike ("best fit"): that would turn the name "\uFF11\uFF12.svg"
// (fullwidth digits) into "12.svg", a name that is not there.
std::string InCodePage(std::wstring_view wide, UINT code_page, bool* held) {
  // These hold every character and take neither flag nor question.
  bool whole = code_page == CP_UTF8 || code_page == CP_UTF7 ||
               code_page == 54936;  // GB 18030
  DWORD flags = whole ? 0 : WC_NO_BEST_FIT_CHARS;
  BOOL defaulted = FALSE;
  BOOL* ask = whole ? nullptr : &defaulted;
  int size = static_cast<int>(wide.size());
  int length = ::WideCharToMultiByte(code_page, flags, wide.data(), size,
                                     nullptr, 0, nullptr, ask);
  std::string bytes(static_cast<size_t>(std::max(length, 0)), '\0');
  if (length > 0) {
    ::WideCharToMultiByte(code_page, flags, wide.data(), size, bytes.data(),
                          length, nullptr, ask);
  }
  *held = length > 0 && !defaulted;
  return bytes;
}

// UTF-8 `text` as Windows programs read text from a file or a pipe: CR LF
// line ends, in `code_page`. A character the code page lacks is shown as
// "<U+FF11>", never as a look-alike: "<" and ">" cannot stand in a Windows
// file name, so the escape cannot be read as a name that is there too (a
// C escape would: "\u0142" is also a file "u0142" after a separator).
std::string RedirectedText(std::string_view text, UINT code_page) {
  std::wstring wide;
  for (wchar_t c : Widen(text)) {
    if (c == L'\n') wide.push_back(L'\r');
    wide.push_back(c);
  }
  if (wide.empty()) return "";
  bool held = false;
  std::string bytes = InCodePage(wide, code_page, &held);
  if (held) return bytes;
  // One character at a time (a surrogate pair is one).
  bytes.clear();
  for (size_t i = 0; i < wide.size();) {
    size_t n = IS_HIGH_SURROGATE(wide[i]) && i + 1 < wide.size() &&
                       IS_LOW_SURROGATE(wide[i + 1])
                   ? 2
                   : 1;
    std::string one = InCodePage(wide.substr(i, n), code_page, &held);
    if (held) {
      bytes += one;
    } else {
      unsigned code = n == 2 ? 0x10000 + ((wide[i] - 0xD800u) << 10) +
                                   (wide[i + 1] - 0xDC00u)
                             : wide[i];
      char escape[16];
      std::snprintf(escape, sizeof escape, "<U+%04X>", code);
      bytes += escape;
    }
    i += n;
  }
  return bytes;
}

// Writes UTF-8 `text`: as UTF-16 to a console, as RedirectedText to a file
// or pipe. Sets `to_console` to whether it went to a console.
bool WriteText(HANDLE handle, std::string_view text, bool& to_console) {
  DWORD mode;
  to_console = ::GetConsoleMode(handle, &mode);
  if (to_console) {
    std::wstring wide = Widen(text);
    DWORD written;
    return ::WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()),
                           &written, nullptr);
  }
  std::string bytes = RedirectedText(text, RedirectedCodePage());
  std::string_view rest = bytes;
  while (!rest.empty()) {
    DWORD written = 0;
    if (!::WriteFile(handle, rest.data(), static_cast<DWORD>(rest.size()),
                     &written, nullptr)) {
      return false;
    }
    rest.remove_prefix(written);
  }
  return true;
}

}  // namespace

bool AloneOnConsole() {
  DWORD processes[2];
  return ::GetConsoleProcessList(processes, 2) == 1;
}

bool WriteToConsoleOrFile(std::string_view text) {
  HANDLE handle = OutputHandle(STD_ERROR_HANDLE);
  bool to_console = false;
  return handle != nullptr && WriteText(handle, text, to_console);
}

namespace {

// Writes `text` where console text goes and returns the error, or
// ERROR_SUCCESS. Shows `box` (or `text`) in a message box where nobody would
// read it otherwise: without a console, or on a console that closes when
// the program ends (tevgen.com double-clicked is alone on the console that
// Windows made for it). A box rather than a "press a key" prompt: the
// double-clicked tevgen.exe speaks the same way, and a prompt would read
// from whatever input the program was given.
DWORD WriteOrShow(DWORD which, std::string_view text, std::string_view title,
                  std::string_view box, UINT icon) {
  if (box.empty()) box = text;
  HANDLE handle = OutputHandle(which);
  if (handle == nullptr) {
    ShowBox(box, title, icon);
    return ERROR_SUCCESS;
  }
  bool to_console = false;
  DWORD error =
      WriteText(handle, text, to_console) ? ERROR_SUCCESS : ::GetLastError();
  if (to_console && AloneOnConsole()) ShowBox(box, title, icon);
  return error;
}

}  // namespace

namespace {

// The arguments of the whole command line `line` (the program's name first,
// which is left out), split as Windows programs split them but for one
// thing: no argument of this program can hold a quote, so a backslash
// before a quote is never its escape. "C:\my clips\" (as cmd and
// PowerShell complete a folder) is the folder C:\my clips\, and what
// follows its closing quote are further arguments.
std::vector<std::wstring> SplitCommandLine(std::wstring_view line) {
  constexpr std::wstring_view kBlanks = L" \t";
  size_t i = 0;
  // The program's name: up to its closing quote or the first blank.
  if (!line.empty() && line[0] == L'"') {
    i = std::min(line.find(L'"', 1), line.size() - 1) + 1;
  } else {
    i = std::min(line.find_first_of(kBlanks), line.size());
  }
  std::vector<std::wstring> args;
  std::wstring arg;
  bool started = false;
  bool quoted = false;
  while (i < line.size()) {
    wchar_t c = line[i];
    if (c == L'\\') {
      size_t end = std::min(line.find_first_not_of(L'\\', i), line.size());
      size_t count = end - i;
      i = end;
      // Before a quote, as everywhere: two backslashes stand for one, and
      // a lone one for itself.
      bool before_quote = i < line.size() && line[i] == L'"';
      arg.append(before_quote ? (count + 1) / 2 : count, L'\\');
      started = true;
    } else if (c == L'"') {
      quoted = !quoted;
      started = true;
      ++i;
    } else if (!quoted && kBlanks.find(c) != std::wstring_view::npos) {
      if (started) args.push_back(std::move(arg));
      arg.clear();
      started = false;
      ++i;
    } else {
      arg.push_back(c);
      started = true;
      ++i;
    }
  }
  if (started) args.push_back(std::move(arg));
  return args;
}

// Windows's own spellings of the help option.
bool IsHelpOption(std::wstring_view arg) {
  return arg == L"/?" || arg == L"-?" || arg == L"/h" || arg == L"/H";
}

// "Y:" alone means the current folder on drive Y:, which the program's
// own path joining would take for the drive's root: it is made full here.
std::wstring WithoutBareDrive(std::wstring arg) {
  if (arg.size() != 2 || arg[1] != L':' || !std::iswalpha(arg[0])) return arg;
  DWORD length = ::GetFullPathNameW(arg.c_str(), 0, nullptr, nullptr);
  if (length == 0) return arg;
  std::wstring full(length, L'\0');
  length = ::GetFullPathNameW(arg.c_str(), length, full.data(), nullptr);
  full.resize(length);
  return full;
}

}  // namespace

std::vector<std::string> ProgramArguments(int /*argc*/, char** /*argv*/) {
  std::vector<std::string> args;
  bool options_ended = false;
  for (std::wstring& arg : SplitCommandLine(::GetCommandLineW())) {
    if (!options_ended && IsHelpOption(arg)) {
      arg = L"--help";
    } else {
      options_ended = options_ended || arg == L"--";
      arg = WithoutBareDrive(std::move(arg));
    }
    args.push_back(Narrow(arg));
  }
  return args;
}

void WriteStandardOutput(std::string_view text, std::string_view title,
                         std::string_view box) {
  DWORD error =
      WriteOrShow(STD_OUTPUT_HANDLE, text, title, box, MB_ICONINFORMATION);
  if (error != ERROR_SUCCESS) {
    throw Error("", Message(MessageId::kWriteError,
                            {{"cause", WindowsErrorCause(error)}}));
  }
}

void WriteStandardError(std::string_view text, std::string_view title,
                        std::string_view box) {
  if (WriteOrShow(STD_ERROR_HANDLE, text, title, box, MB_ICONERROR) !=
      ERROR_SUCCESS) {
    ShowBox(box.empty() ? text : box, title, MB_ICONERROR);
  }
}

bool StandardOutputIsBox() {
  HANDLE handle = OutputHandle(STD_OUTPUT_HANDLE);
  DWORD mode;
  return handle == nullptr ||
         (::GetConsoleMode(handle, &mode) && AloneOnConsole());
}

}  // namespace tevgen
