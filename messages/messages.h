// What tevgen says to its user, in the user's language where the program
// speaks it (the rows of kLanguages: English, German), else in English; on
// Windows that of the user interface, on POSIX LC_ALL, LC_MESSAGES or LANG
// beginning with the language's code ("de").
//
// Every message is a row of messages.def: an id, its form in each language
// and named holes ("{path}") for what varies. Code raises a Message (an id
// and what fills its holes), never a sentence; the text is made when it is
// shown, in the user's language. What fills a hole is either text, shown
// as it is in every language (a name, a number, user input, the system's
// own words), or a Message of its own, shown in the same language.
//
// The table sits below both the program (app/) and the platform layer
// (platform/), which depend on it and on nothing else here: the platform
// raises its errors by id too. The platform uses only the rows that speak
// of files and folders; the rows that speak of catalogues and images are
// the program's. One table, so that a translator finds every message in
// one place and a language is added in one place (its column and its
// row of languages).
//
// The system's own error texts are left as the system gave them, in the
// user's language where it has one (on Windows, in English for a language
// the program does not speak, so that a message never mixes two). The
// category names and "XML generieren" are the same in every language.
//
// Messages are values: copying one is safe from any thread.
#ifndef TEVGEN_MESSAGES_MESSAGES_H_
#define TEVGEN_MESSAGES_MESSAGES_H_

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tevgen {

// The languages, in the order of messages.def's columns.
enum class Language {
#define TEVGEN_LANGUAGE(value, code, windows_id) value,
#include "messages/messages.def"
};

// A language as the systems name it (see TEVGEN_LANGUAGE in messages.def).
struct LanguageRow {
  Language language;
  std::string_view code;  // "de": a POSIX locale's prefix, Windows' tag
  uint16_t windows_id;    // a primary language id (PRIMARYLANGID)
};

// Every language, in the order of messages.def's columns.
inline constexpr LanguageRow kLanguages[] = {
#define TEVGEN_LANGUAGE(value, code, windows_id) \
  {Language::value, code, windows_id},
#include "messages/messages.def"
};
inline constexpr size_t kLanguageCount = std::size(kLanguages);

// The language of a user whose language tag (as the platform gives it:
// "de", "de_DE.UTF-8", "en-US", ...) is `tag`: the one whose code begins
// it, followed by nothing or by "_", "-", "." or "@"; else the first.
Language LanguageOf(std::string_view tag);

// The language of a Windows user whose interface language has the primary
// id `windows_id`; null where the program does not speak it.
const LanguageRow* LanguageOfWindowsId(uint16_t windows_id);

enum class MessageId {
#define TEVGEN_MESSAGE(id, ...) id,
#include "messages/messages.def"
};

// What the platform was doing with a file or folder when it failed; see
// TEVGEN_ACTION in messages.def.
enum class FileAction {
#define TEVGEN_ACTION(action, file, catalogue) action,
#include "messages/messages.def"
};

// The message of a failed `action` of any file, and of the
// catalogue's file. Both have a hole {cause}, or both have none.
MessageId FileMessage(FileAction action);
MessageId CatalogueMessage(FileAction action);

// The form of `id` in `language`, holes unfilled.
std::string_view FormOf(MessageId id, Language language);

// The id's own name ("kCannotOpenFile"), the same in every language and
// every version: a name scripts may rely on.
std::string_view NameOf(MessageId id);

class Message {
 public:
  // What fills the hole `name` (a literal): `text` as it is, or a message.
  struct Hole {
    Hole(std::string_view name, std::string text);
    Hole(std::string_view name, Message message);
    std::string_view name;
    std::string text;
    std::shared_ptr<const Message> message;
  };

  Message(MessageId id, std::vector<Hole> holes = {});

  MessageId id() const { return id_; }

  // The same holes in the form of `id` (another message of the same holes).
  Message WithId(MessageId id) const;

  // Whether this message or one in its holes is `id`.
  bool Mentions(MessageId id) const;

  // The text in `language`. A hole nothing fills stays as "{name}".
  std::string Text(Language language) const;

 private:
  MessageId id_;
  std::vector<Hole> holes_;
};

}  // namespace tevgen

#endif  // TEVGEN_MESSAGES_MESSAGES_H_
