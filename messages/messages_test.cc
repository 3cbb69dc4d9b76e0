#include "messages/messages.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace tevgen {
namespace {

TEST(MessagesTest, LanguageComesFromTheTag) {
  const struct {
    std::string_view tag;
    Language language;
  } kCases[] = {
      {"de", Language::kGerman},
      {"de_DE.UTF-8", Language::kGerman},
      {"de_AT", Language::kGerman},
      {"DE-de", Language::kGerman},
      {"de@euro", Language::kGerman},
      {"en", Language::kEnglish},
      {"en_US.UTF-8", Language::kEnglish},
      {"C.UTF-8", Language::kEnglish},
      {"", Language::kEnglish},
      {"dex", Language::kEnglish},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.tag);
    EXPECT_EQ(LanguageOf(c.tag), c.language);
  }
  // Every language by the names of its locales and by its Windows id.
  for (const LanguageRow& row : kLanguages) {
    std::string code(row.code);
    std::string upper = code;
    for (char& c : upper) c = static_cast<char>(c - 'a' + 'A');
    for (const std::string& tag :
         {code, code + "_XX.UTF-8", upper + "-" + upper, code + "@euro",
          code + ".UTF-8"}) {
      SCOPED_TRACE(tag);
      EXPECT_EQ(LanguageOf(tag), row.language);
    }
    EXPECT_EQ(LanguageOf(code + "x"), kLanguages[0].language);
    EXPECT_EQ(LanguageOfWindowsId(row.windows_id), &row);
  }
  EXPECT_EQ(LanguageOfWindowsId(0x00), nullptr);  // LANG_NEUTRAL
}

// The table of languages and the columns of messages.def agree: one value
// of Language a row, in order, each code a distinct pair of small letters.
TEST(MessagesTest, LanguagesAreTheColumnsInOrder) {
  ASSERT_GE(kLanguageCount, 1u);
  for (size_t i = 0; i < kLanguageCount; ++i) {
    SCOPED_TRACE(kLanguages[i].code);
    EXPECT_EQ(kLanguages[i].language, static_cast<Language>(i));
    ASSERT_EQ(kLanguages[i].code.size(), 2u);
    for (char c : kLanguages[i].code) EXPECT_TRUE(c >= 'a' && c <= 'z');
    for (size_t j = 0; j < i; ++j) {
      EXPECT_NE(kLanguages[j].code, kLanguages[i].code);
      EXPECT_NE(kLanguages[j].windows_id, kLanguages[i].windows_id);
    }
  }
}

// The names of the holes of `id`'s form in `language`, sorted.
std::vector<std::string_view> SortedHoles(MessageId id, Language language) {
  std::string_view form = FormOf(id, language);
  std::vector<std::string_view> holes;
  for (size_t open = form.find('{'); open != std::string_view::npos;
       open = form.find('{', open)) {
    size_t close = form.find('}', open);
    holes.push_back(form.substr(open, close - open));
    if (close == std::string_view::npos) break;
    open = close;
  }
  std::sort(holes.begin(), holes.end());
  return holes;
}

// Every message has a form in every language, with the English holes; a
// file action's two messages have the same holes.
TEST(MessagesTest, EveryMessageHasEveryLanguage) {
  constexpr MessageId kIds[] = {
#define TEVGEN_MESSAGE(id, ...) MessageId::id,
#include "messages/messages.def"
  };
  for (MessageId id : kIds) {
    SCOPED_TRACE(FormOf(id, Language::kEnglish));
    for (const LanguageRow& row : kLanguages) {
      Language language = row.language;
      EXPECT_FALSE(FormOf(id, language).empty());
      EXPECT_EQ(SortedHoles(id, language), SortedHoles(id, Language::kEnglish));
    }
  }
  constexpr FileAction kActions[] = {
#define TEVGEN_ACTION(action, file, catalogue) FileAction::action,
#include "messages/messages.def"
  };
  for (FileAction action : kActions) {
    SCOPED_TRACE(FormOf(FileMessage(action), Language::kEnglish));
    EXPECT_EQ(SortedHoles(FileMessage(action), Language::kEnglish),
              SortedHoles(CatalogueMessage(action), Language::kEnglish));
  }
}

// Holes filled; what fills a hole as text is never translated, a message
// in a hole is.
TEST(MessagesTest, HolesAreFilledInTheUsersLanguage) {
  const struct {
    Message message;
    std::string_view english;
    std::string_view german;
  } kCases[] = {
      {Message(MessageId::kCannotReplaceCatalogue,
               {{"cause", Message(MessageId::kInUse)}}),
       "cannot replace the catalogue: the file is in use by another program",
       "der Katalog l\xC3\xA4sst sich nicht ersetzen: die Datei wird von "
       "einem anderen Programm verwendet"},
      {Message(
           MessageId::kWriteError,
           {{"cause", Message(MessageId::kSystemError, {{"number", "1234"}})}}),
       "write error: system error 1234", "Schreibfehler: Systemfehler 1234"},
      {Message(MessageId::kLinkToFile,
               {{"owner", "0"}, {"link_owner", "65534"}}),
       "not following a link of user 65534 to a file of user 0",
       "einer Verkn\xC3\xBCpfung von Benutzer 65534 zu einer Datei von "
       "Benutzer 0 wird nicht gefolgt"},
      {Message(MessageId::kCannotListFolder), "cannot list the folder: {cause}",
       "der Ordner l\xC3\xA4sst sich nicht auflisten: {cause}"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.english);
    EXPECT_EQ(c.message.Text(Language::kEnglish), c.english);
    EXPECT_EQ(c.message.Text(Language::kGerman), c.german);
  }
}

// An 80-column console wraps a line of 80 characters.
TEST(MessagesTest, UsageLinesFitAConsole) {
  for (const LanguageRow& row : kLanguages) {
    std::string_view text = FormOf(MessageId::kUsage, row.language);
    for (size_t start = 0; start < text.size();) {
      size_t end = text.find('\n', start);
      std::string_view line = text.substr(start, end - start);
      size_t columns = 0;
      for (char c : line) columns += (c & 0xC0) != 0x80;  // UTF-8 lead bytes
      EXPECT_LE(columns, 79u) << line;
      start = end + 1;
    }
  }
}

}  // namespace
}  // namespace tevgen
