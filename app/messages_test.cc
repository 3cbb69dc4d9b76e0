#include "app/messages.h"

#include <gtest/gtest.h>

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
}

// The messages as the program writes them, whatever varies filled in, and
// what a German user reads.
TEST(MessagesTest, GermanUsersReadGerman) {
  const struct {
    std::string_view english;
    std::string_view german;
  } kCases[] = {
      {"unknown option '-x'", "unbekannte Option '-x'"},
      {"'-j' takes a number from 1 to 1024, not '0'",
       "'-j' verlangt eine Zahl von 1 bis 1024, nicht '0'"},
      {"the file name is not an image number (only digits may stand before "
       "\".svg\")",
       "der Dateiname ist keine Bildnummer (vor \".svg\" d\xC3\xBCrfen nur "
       "Ziffern stehen)"},
      {"the height attribute has \".\" right after \"=\", so its value "
       "cannot be read",
       "das Attribut height hat \".\" direkt nach \"=\", sein Wert "
       "l\xC3\xA4sst sich daher nicht lesen"},
      {"the image changed while it was read",
       "das Bild wurde ge\xC3\xA4ndert, w\xC3\xA4hrend es gelesen wurde"},
      {"cannot open the file: Permission denied",
       "die Datei l\xC3\xA4sst sich nicht \xC3\xB6"
       "ffnen: Permission "
       "denied"},
      {"not following a link of user 65534 to a file of user 0",
       "einer Verkn\xC3\xBCpfung von Benutzer 65534 zu einer Datei von "
       "Benutzer 0 wird nicht gefolgt"},
      {"cannot replace the catalogue: it is not an ordinary file",
       "der Katalog l\xC3\xA4sst sich nicht ersetzen: er ist keine "
       "gew\xC3\xB6hnliche Datei"},
      {"cannot replace the catalogue: the file is in use by another program",
       "der Katalog l\xC3\xA4sst sich nicht ersetzen: die Datei wird von "
       "einem anderen Programm verwendet"},
      {"cannot write the catalogue to disk: Input/output error",
       "der Katalog l\xC3\xA4sst sich nicht auf den Datentr\xC3\xA4ger "
       "schreiben: Input/output error"},
      {"cannot write the file: No space left on device",
       "die Datei l\xC3\xA4sst sich nicht schreiben: No space left on device"},
      {"cannot watch the folder: No such file or directory",
       "der Ordner l\xC3\xA4sst sich nicht \xC3\xBC"
       "berwachen: No such file or directory"},
      {"the folder was removed or renamed; the watch ends",
       "der Ordner wurde entfernt oder umbenannt; die \xC3\x9C"
       "berwachung endet"},
      {"write error: No space left on device",
       "Schreibfehler: No space left on device"},
      {"a message nobody wrote", "a message nobody wrote"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.english);
    EXPECT_EQ(Translate(c.english, Language::kGerman), c.german);
    EXPECT_EQ(Translate(c.english, Language::kEnglish), c.english);
  }
  EXPECT_EQ(UsageText(Language::kGerman).rfind("Aufruf: tevgen", 0), 0u);
  EXPECT_EQ(UsageText(Language::kEnglish).rfind("Usage: tevgen", 0), 0u);
}

// An 80-column console wraps a line of 80 characters.
TEST(MessagesTest, UsageLinesFitAConsole) {
  for (Language language : {Language::kEnglish, Language::kGerman}) {
    std::string_view text = UsageText(language);
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
