// The program speaks English or German: German to a user whose language is
// German (on Windows the user interface language; on POSIX LC_ALL,
// LC_MESSAGES or LANG beginning with "de"), English to everyone else.
//
// The program's messages are written in English where they arise. The
// German table in messages.cc holds each of them, with "{}" for what
// varies (a name, a number, the system's own error text), beside its German
// form: a translator finds every message there. The system's error texts
// are left as the system gave them, in the user's language where it has
// one (on Windows, in English for a language the program does not speak,
// so that a message never mixes two). The category names and "XML generieren"
// are the same in every language.
#ifndef TEVGEN_APP_MESSAGES_H_
#define TEVGEN_APP_MESSAGES_H_

#include <string>
#include <string_view>

namespace tevgen {

enum class Language { kEnglish, kGerman };

// The language of a user whose language tag (as the platform gives it:
// "de", "de_DE.UTF-8", "en-US", ...) is `tag`.
Language LanguageOf(std::string_view tag);

// `message` in `language`. A message the table does not hold is returned
// as it is.
std::string Translate(std::string_view message, Language language);

// The usage text (--help) in `language`, for a console: lines within 79
// columns.
std::string_view UsageText(Language language);

// The usage text for a message box (report.h).
std::string_view UsageBoxText(Language language);

}  // namespace tevgen

#endif  // TEVGEN_APP_MESSAGES_H_
