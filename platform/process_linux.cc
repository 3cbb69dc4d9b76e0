// The process set-up of the program on Linux: its arguments, the signals
// that would end it on a failed write, malloc's arenas, the language of the
// system's texts, the reader threads (each with its own table of open
// files) and the console output.
#include <langinfo.h>
#include <locale.h>
#include <malloc.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "messages/messages.h"
#include "platform/env.h"
#include "platform/env_linux.h"
#include "platform/error.h"

namespace tevgen {
namespace {

// Under a limit of address space (ulimit -v), glibc's malloc would reserve
// 64 MB of it for each thread's own arena and leave the reads too little:
// there the threads share one arena.
void ShareArenasUnderAddressLimit() {
#ifdef M_ARENA_MAX
  struct rlimit limit;
  if (::getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
    ::mallopt(M_ARENA_MAX, 1);
  }
#endif
}

bool WriteAllTo(FILE* stream, std::string_view text) {
  size_t written = std::fwrite(text.data(), 1, text.size(), stream);
  return std::fflush(stream) == 0 && written == text.size();
}

}  // namespace

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

std::string UserLanguageTag() {
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return value;
  }
  return "";
}

std::string SystemErrorText(int error_number) {
  // PrepareProcess set LC_MESSAGES to the message's language.
  return std::strerror(error_number);
}

void PrepareProcess() {
  ::signal(SIGPIPE, SIG_IGN);
  ::signal(SIGXFSZ, SIG_IGN);
  ShareArenasUnderAddressLimit();
  const char* language = std::setlocale(LC_MESSAGES, "");
  std::string messages = language != nullptr ? language : "";
  // The system's texts are converted to the character set of LC_CTYPE; at
  // "C" that is plain ASCII ("Ung?ltig"). Take the terminal's: LC_CTYPE's
  // as the environment names it, else that of the language's locale. The
  // program's own rules depend on no locale.
  if ((std::setlocale(LC_CTYPE, "") == nullptr ||
       std::string_view(::nl_langinfo(CODESET)) == "ANSI_X3.4-1968") &&
      !messages.empty()) {
    std::setlocale(LC_CTYPE, messages.c_str());
  }
  // The system's texts in the language of the program's messages: the
  // user's locale for German, "C" (English) for any other language.
  // LANGUAGE would give them a language of its own (the program's comes
  // from LC_ALL, LC_MESSAGES and LANG); nothing else reads it, and no
  // thread runs yet.
  if (LanguageOf(UserLanguageTag()) == Language::kEnglish) {
    std::setlocale(LC_MESSAGES, "C");
  }
  ::unsetenv("LANGUAGE");
}

void SystemTextsInEnglish() { std::setlocale(LC_MESSAGES, "C"); }

namespace {

// Moves the calling thread off processor `cpu` where it may run on
// another, then lets it run anywhere it could before: the scheduler leaves
// it where it is while it has work there.
void MoveOffProcessor(int cpu) {
  cpu_set_t allowed;
  if (cpu < 0 || cpu >= CPU_SETSIZE ||
      ::sched_getaffinity(0, sizeof allowed, &allowed) != 0 ||
      !CPU_ISSET(cpu, &allowed) || CPU_COUNT(&allowed) < 2) {
    return;
  }
  cpu_set_t others = allowed;
  CPU_CLR(cpu, &others);
  if (::sched_setaffinity(0, sizeof others, &others) == 0) {
    (void)::sched_setaffinity(0, sizeof allowed, &allowed);
  }
}

// ThreadSanitizer takes a descriptor number for one file in every thread:
// it would report the different files that two tables give one number as
// a race. There the threads share the table, as where unshare is refused.
#if defined(__SANITIZE_THREAD__)
constexpr bool kTableOfItsOwn = false;
#else
constexpr bool kTableOfItsOwn = true;
#endif

}  // namespace

std::thread StartThread(std::function<void()> work) {
  int parent = ::sched_getcpu();
  return std::thread([work = std::move(work), parent] {
    MoveOffProcessor(parent);
    // Where the system refuses, the thread shares the caller's table: slower,
    // the same otherwise.
    if (kTableOfItsOwn) (void)::unshare(CLONE_FILES);
    work();
  });
}

void WriteStandardOutput(std::string_view text, std::string_view /*title*/,
                         std::string_view /*box*/) {
  if (!WriteAllTo(stdout, text)) {
    throw Error("", Message(MessageId::kWriteError,
                            {{"cause", SystemErrorText(errno)}}));
  }
}

void WriteStandardError(std::string_view text, std::string_view /*title*/,
                        std::string_view /*box*/) {
  WriteAllTo(stderr, text);
}

bool StandardOutputIsBox() { return false; }
}  // namespace tevgen
