#include "app/messages.h"

#include <algorithm>
#include <optional>
#include <vector>

namespace tevgen {
namespace {

struct Message {
  std::string_view english;
  std::string_view german;
};

// Every message, English and German; "{}" stands for what varies, in the
// same order in both. Where one message begins like another, the longer
// one comes first.
constexpr Message kGerman[] = {
    // The command line.
    {"unknown option '{}'", "unbekannte Option '{}'"},
    {"'-j' takes a number from 1 to {}, not '{}'",
     "'-j' verlangt eine Zahl von 1 bis {}, nicht '{}'"},
    {"only one folder can be catalogued at a time",
     "es l\u00e4sst sich nur ein Ordner auf einmal katalogisieren"},
    {"the folder name is empty", "der Ordnername ist leer"},
    {"write error: {}", "Schreibfehler: {}"},
    {"the folder was removed or renamed; the watch ends",
     "der Ordner wurde entfernt oder umbenannt; die \u00dcberwachung endet"},
    {"not enough memory to catalogue the folder",
     "zu wenig Arbeitsspeicher, um den Ordner zu katalogisieren"},
    // An image.
    {"the file name is not an image number (only digits may stand before "
     "\".svg\")",
     "der Dateiname ist keine Bildnummer (vor \".svg\" d\u00fcrfen nur "
     "Ziffern stehen)"},
    {"the file name has no image number before \".svg\"",
     "der Dateiname hat vor \".svg\" keine Bildnummer"},
    {"the image number is outside the range -2147483648 to 2147483647",
     "die Bildnummer liegt au\u00dferhalb des Bereichs -2147483648 bis "
     "2147483647"},
    {"the {} attribute has \".\" right after \"=\", so its value cannot be "
     "read",
     "das Attribut {} hat \".\" direkt nach \"=\", sein Wert l\u00e4sst sich "
     "daher nicht lesen"},
    {"the image changed while it was read",
     "das Bild wurde ge\u00e4ndert, w\u00e4hrend es gelesen wurde"},
    {"cannot open the file: {}",
     "die Datei l\u00e4sst sich nicht \u00f6ffnen: {}"},
    {"cannot read the file: {}", "die Datei l\u00e4sst sich nicht lesen: {}"},
    {"not following a link of user {} to a file of user {}",
     "einer Verkn\u00fcpfung von Benutzer {} zu einer Datei von Benutzer {} "
     "wird nicht gefolgt"},
    {"not following a link of user {} to a folder of user {}",
     "einer Verkn\u00fcpfung von Benutzer {} zu einem Ordner von Benutzer {} "
     "wird nicht gefolgt"},
    {"not entering a folder of user {} in a folder of user {}",
     "ein Ordner von Benutzer {} in einem Ordner von Benutzer {} wird nicht "
     "betreten"},
    {"not following a link in a folder others may write to a file of user "
     "{}",
     "einer Verkn\u00fcpfung in einem Ordner, den auch andere beschreiben "
     "d\u00fcrfen, zu einer Datei von Benutzer {} wird nicht gefolgt"},
    {"not following a link in a folder others may write to a folder of user "
     "{}",
     "einer Verkn\u00fcpfung in einem Ordner, den auch andere beschreiben "
     "d\u00fcrfen, zu einem Ordner von Benutzer {} wird nicht gefolgt"},
    {"another folder took the folder's place during the run",
     "w\u00e4hrend des Laufs hat ein anderer Ordner den Platz des Ordners "
     "eingenommen"},
    {"another user's file took its place during the run",
     "w\u00e4hrend des Laufs hat die Datei eines anderen Benutzers ihren "
     "Platz eingenommen"},
    {"not reading a file of user {} that the folder's writers may not read",
     "eine Datei von Benutzer {}, die die Schreibenden des Ordners nicht "
     "lesen d\u00fcrfen, wird nicht gelesen"},
    {"not following a hard link to a file of user {}",
     "einem harten Link auf eine Datei von Benutzer {} wird nicht gefolgt"},
    // A file, as the platform says it.
    {"cannot create a new file in the folder: {}",
     "im Ordner l\u00e4sst sich keine neue Datei anlegen: {}"},
    {"cannot write the file to disk: {}",
     "die Datei l\u00e4sst sich nicht auf den Datentr\u00e4ger schreiben: {}"},
    {"cannot write the file: {}",
     "die Datei l\u00e4sst sich nicht schreiben: {}"},
    {"cannot set the file's permissions: {}",
     "die Zugriffsrechte der Datei lassen sich nicht setzen: {}"},
    {"cannot replace the file: it is not an ordinary file",
     "die Datei l\u00e4sst sich nicht ersetzen: sie ist keine "
     "gew\u00f6hnliche Datei"},
    {"cannot replace the file: {}",
     "die Datei l\u00e4sst sich nicht ersetzen: {}"},
    {"the file was replaced, but the folder could not be written to disk: {}",
     "die Datei wurde ersetzt, aber der Ordner lie\u00df sich nicht auf den "
     "Datentr\u00e4ger schreiben: {}"},
    // The folder.
    {"cannot list the folder: {}",
     "der Ordner l\u00e4sst sich nicht auflisten: {}"},
    {"cannot open the folder: {}",
     "der Ordner l\u00e4sst sich nicht \u00f6ffnen: {}"},
    {"cannot watch the folder: {}",
     "der Ordner l\u00e4sst sich nicht \u00fcberwachen: {}"},
    {"cannot find the program's own folder: {}",
     "der Ordner des Programms l\u00e4sst sich nicht finden: {}"},
    // The catalogue: its file's errors as Form1 retells them.
    {"cannot write a new catalogue in the folder: {}",
     "im Ordner l\u00e4sst sich kein neuer Katalog schreiben: {}"},
    {"cannot replace the catalogue: it is not an ordinary file",
     "der Katalog l\u00e4sst sich nicht ersetzen: er ist keine "
     "gew\u00f6hnliche Datei"},
    {"cannot replace the catalogue: {}",
     "der Katalog l\u00e4sst sich nicht ersetzen: {}"},
    {"cannot write the catalogue to disk: {}",
     "der Katalog l\u00e4sst sich nicht auf den Datentr\u00e4ger schreiben: "
     "{}"},
    {"cannot write the catalogue: {}",
     "der Katalog l\u00e4sst sich nicht schreiben: {}"},
    {"cannot set the catalogue's permissions: {}",
     "die Zugriffsrechte des Katalogs lassen sich nicht setzen: {}"},
    {"the catalogue was replaced, but the folder could not be written to "
     "disk: {}",
     "der Katalog wurde ersetzt, aber der Ordner lie\u00df sich nicht auf "
     "den Datentr\u00e4ger schreiben: {}"},
    {"the file is in use by another program",
     "die Datei wird von einem anderen Programm verwendet"},
    {"the file is read-only", "die Datei ist schreibgesch\u00fctzt"},
    {"it is a file, not a folder", "es ist eine Datei, kein Ordner"},
    {"system error {}", "Systemfehler {}"},
    // What to do, in a message box.
    {"Close the program that uses the file, then start tevgen again.",
     "Schlie\u00dfen Sie das Programm, das die Datei verwendet, und starten "
     "Sie tevgen erneut."},
    {"Clear \"Read-only\" in the file's properties, then start tevgen again.",
     "Entfernen Sie in den Eigenschaften der Datei "
     "\"Schreibgesch\u00fctzt\" und starten Sie tevgen erneut."},
    {"Rename or correct the image, then start tevgen again.",
     "Benennen Sie das Bild um oder berichtigen Sie es und starten Sie "
     "tevgen erneut."},
    {"Put this right, then start tevgen again.",
     "Beheben Sie das und starten Sie tevgen erneut."},
    // Temporary files.
    {"cannot create a temporary file: the system gave no name",
     "eine tempor\u00e4re Datei l\u00e4sst sich nicht anlegen: das System "
     "nannte keinen Namen"},
    {"cannot create a temporary file: {}",
     "eine tempor\u00e4re Datei l\u00e4sst sich nicht anlegen: {}"},
    {"cannot find the folder for temporary files: {}",
     "der Ordner f\u00fcr tempor\u00e4re Dateien l\u00e4sst sich nicht "
     "finden: {}"},
    {"the folder for temporary files has a path longer than 255 characters",
     "der Pfad des Ordners f\u00fcr tempor\u00e4re Dateien ist l\u00e4nger "
     "als 255 Zeichen"},
};

constexpr std::string_view kEnglishUsage =
    "Usage: tevgen [-w] [-j N] [DIR]\n"
    "Writes tev.xml, the catalogue of the numbered SVG images (1234.svg, "
    "...)\n"
    "in DIR, or in the folder that holds tevgen when DIR is not given.\n"
    "\n"
    "  -w, --watch    write it now and again whenever the images change, "
    "until\n"
    "                 stopped (Ctrl+C)\n"
    "  -j, --jobs N   read N images at once (default 64; 1 reads one at a "
    "time)\n"
    "  -h, --help     show this help and exit\n"
    "      --version  show the version and exit\n"
    "\n"
    "Exit status: 0 catalogue written, 1 error (the old catalogue is kept),\n"
    "2 wrong usage.\n";

constexpr std::string_view kGermanUsage =
    "Aufruf: tevgen [-w] [-j N] [ORDNER]\n"
    "Schreibt tev.xml, den Katalog der nummerierten SVG-Bilder (1234.svg, "
    "...)\n"
    "in ORDNER, oder im Ordner von tevgen, wenn kein ORDNER angegeben ist.\n"
    "\n"
    "  -w, --watch    ihn jetzt und nach jeder \u00c4nderung der Bilder neu "
    "schreiben,\n"
    "                 bis zum Abbruch (Strg+C)\n"
    "  -j, --jobs N   N Bilder zugleich lesen (Vorgabe 64; 1 liest "
    "nacheinander)\n"
    "  -h, --help     diese Hilfe zeigen und beenden\n"
    "      --version  die Version zeigen und beenden\n"
    "\n"
    "R\u00fcckgabewert: 0 Katalog geschrieben, 1 Fehler (der alte Katalog "
    "bleibt),\n"
    "2 falscher Aufruf.\n";

// The help in a message box, for someone who double-clicked the program:
// no columns (the box's font is proportional), Windows's /? and no exit
// status.
constexpr std::string_view kEnglishUsageBox =
    "tevgen writes tev.xml, the catalogue of the numbered SVG images "
    "(1234.svg, ...) in its own folder: copy it there and double-click it.\n"
    "\n"
    "In cmd or PowerShell it also catalogues another folder:\n"
    "tevgen FOLDER\n"
    ".\\tevgen FOLDER (PowerShell, in tevgen's own folder)\n"
    "\n"
    "-w keeps the catalogue current: it writes it again whenever the images "
    "change, until Ctrl+C.\n"
    "-j N reads N images at once (default 64; 1 reads one at a time).\n"
    "/? shows this help, --version the version.";

constexpr std::string_view kGermanUsageBox =
    "tevgen schreibt tev.xml, den Katalog der nummerierten SVG-Bilder "
    "(1234.svg, ...) in seinem Ordner: dorthin kopieren und doppelklicken.\n"
    "\n"
    "In cmd oder PowerShell katalogisiert es auch einen anderen Ordner:\n"
    "tevgen ORDNER\n"
    ".\\tevgen ORDNER (PowerShell, im Ordner von tevgen)\n"
    "\n"
    "-w h\u00e4lt den Katalog aktuell: er wird nach jeder \u00c4nderung der "
    "Bilder neu geschrieben, bis Strg+C.\n"
    "-j N liest N Bilder zugleich (Vorgabe 64; 1 liest eines nach dem "
    "anderen).\n"
    "/? zeigt diese Hilfe, --version die Version.";

constexpr std::string_view kHole = "{}";

// What `message` has in the holes of `pattern`, or none when it does not
// have the pattern's form. A hole takes as little as it can, the last one
// the rest.
std::optional<std::vector<std::string_view>> Match(std::string_view pattern,
                                                   std::string_view message) {
  std::vector<std::string_view> holes;
  for (;;) {
    size_t hole = pattern.find(kHole);
    std::string_view literal = pattern.substr(0, hole);
    if (!message.starts_with(literal)) return std::nullopt;
    message.remove_prefix(literal.size());
    if (hole == std::string_view::npos) {
      if (!message.empty()) return std::nullopt;
      return holes;
    }
    pattern.remove_prefix(hole + kHole.size());
    size_t next = pattern.find(kHole);
    std::string_view after = pattern.substr(0, next);
    size_t end = after.empty() ? message.size() : message.find(after);
    if (end == std::string_view::npos) return std::nullopt;
    holes.push_back(message.substr(0, end));
    message.remove_prefix(end);
  }
}

}  // namespace

Language LanguageOf(std::string_view tag) {
  bool german = tag.size() >= 2 && (tag[0] == 'd' || tag[0] == 'D') &&
                (tag[1] == 'e' || tag[1] == 'E') &&
                (tag.size() == 2 || tag[2] == '_' || tag[2] == '-' ||
                 tag[2] == '.' || tag[2] == '@');
  return german ? Language::kGerman : Language::kEnglish;
}

std::string Translate(std::string_view message, Language language) {
  if (language == Language::kEnglish) return std::string(message);
  for (const Message& entry : kGerman) {
    std::optional<std::vector<std::string_view>> holes =
        Match(entry.english, message);
    if (!holes) continue;
    std::string german;
    std::string_view pattern = entry.german;
    for (std::string_view hole : *holes) {
      size_t at = pattern.find(kHole);
      german.append(pattern.substr(0, at));
      // What fills a hole may be a message of its own.
      german.append(Translate(hole, language));
      pattern.remove_prefix(at + kHole.size());
    }
    german.append(pattern);
    return german;
  }
  return std::string(message);
}

std::string_view UsageText(Language language) {
  return language == Language::kGerman ? kGermanUsage : kEnglishUsage;
}

std::string_view UsageBoxText(Language language) {
  return language == Language::kGerman ? kGermanUsageBox : kEnglishUsageBox;
}

}  // namespace tevgen
