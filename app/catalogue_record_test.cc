#include "app/catalogue_record.h"

#include <gtest/gtest.h>

namespace tevgen {
namespace {

using namespace std::string_view_literals;

struct ScanCase {
  const char* label;
  std::string_view text;
  std::string_view height;
  std::string_view width;
};

// Each scan takes the value from one character past "=" up to the first "."
// after the attribute name, wherever that lies.
const ScanCase kScanCases[] = {
    {"plain decimals", R"(<svg width="210.5" height="150.25">)", "150", "210"},
    {"zero fraction", R"(<svg width="64.0" height="48.5">)", "48", "64"},
    {"no attributes", "<svg viewBox=\"0 0 1 1\">", "", ""},
    {"empty text", "", "", ""},
    {"no dot anywhere after", R"(<svg width="100" height="50">)", "", ""},
    {"no dot: value runs to the next dot",
     "<svg height=\"100\" width=\"20.5\">", "100\" width=\"20", "20"},
    {"dot on a later line", "<svg height=\"7\"\r\n><g x=\"1.5\"/>",
     "7\"\r\n><g x=\"1", ""},
    {"single quotes read like double", "<svg height='12.5' width='3.25'>", "12",
     "3"},
    {"unquoted value loses its first character",
     "<svg height=150.25 width=210.5>", "50", "10"},
    {"zero length value", R"(<svg height=".5" width=".25">)", "", ""},
    {"blank around = is not found", "<svg height = \"1.5\" width = \"2.5\">",
     "", ""},
    {"tab before the name is not found", "<svg\theight=\"1.5\"\twidth=\"2.5\">",
     "", ""},
    {"line break before the name is not found",
     "<svg\nheight=\"1.5\"\nwidth=\"2.5\">", "", ""},
    {"capitals are not found", "<svg Height=\"1.5\" WIDTH=\"2.5\">", "", ""},
    {"a later match on an inner element is used",
     "<svg\theight=\"9.5\"><rect height=\"3.5\" width=\"4.5\"/>", "3", "4"},
    {"the first match wins",
     "<svg height=\"1.5\" width=\"2.5\"><rect height=\"3.5\" width=\"4.5\"/>",
     "1", "2"},
    {"stroke-width is not width", "<path stroke-width=\"2.5\"/>", "", ""},
    {"scans are independent: width before height",
     "<svg width=\"8.5\" height=\"9.5\">", "9", "8"},
    {"pattern at the very start", " height=\"2.5\" width=\"3.5\"", "2", "3"},
    {"many equals signs before", "<svg a==b c=\"=\" d= width=\"4.5\">", "",
     "4"},
    {"pattern inside another value", "<svg alt=' width=\"9.5' width=\"1.5\">",
     "", "9"},
    {"equals sign at the start", "=<svg width=\"6.5\">", "", "6"},
    {"equals signs right before the pattern", "<svg a=== width==\"5.5\">", "",
     "\"5"},
    {"a longer name ending in width", "<svg xwidth=\"1.5\" width=\"2.5\">", "",
     "2"},
    {"the pattern ends the text", "<svg height=\"1\" width=", "", ""},
    {"bytes above 127 kept", "<svg height=\"\xE4\xFF.5\">", "\xE4\xFF", ""},
    // Holes of a sparse file read as runs of NUL.
    {"NULs in a value are kept",
     "\0\0\0\0 width=\"1\0\0\0\0\0\0\0\0\0\0\0\0\0\0\02.5 height=\0\0\0\0\09.5"sv,
     "\0\0\0\09"sv, "1\0\0\0\0\0\0\0\0\0\0\0\0\0\0\02"sv},
    {"NULs break the pattern", "<svg wid\0\0\0\0\0\0\0\0th=\"3.5\">"sv, "", ""},
};

TEST(AttributeScanTest, TakesTheValueUpToTheFirstDot) {
  for (const ScanCase& c : kScanCases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(AttributeScan::Height().Scan(c.text), c.height);
    EXPECT_EQ(AttributeScan::Width().Scan(c.text), c.width);
  }
}

// Scans the text in pieces of `piece` bytes, stopping once settled, and
// returns the value: held, or cut from the text where the scanner says.
// Pieces of NULs only are fed as a hole is.
std::string ScanInPieces(const AttributeScan& scan, std::string_view text,
                         size_t piece, size_t keep_limit) {
  AttributeScanner scanner(scan, keep_limit);
  for (size_t at = 0; at < text.size() && !scanner.settled(); at += piece) {
    std::string_view part = text.substr(at, piece);
    if (part.find_first_not_of('\0') == std::string_view::npos) {
      scanner.FeedNuls(part.size());
    } else {
      scanner.Feed(part);
    }
  }
  scanner.Finish();
  scanner.CheckValue();
  if (scanner.value_in_memory()) return std::string(scanner.value());
  return std::string(text.substr(scanner.value_begin(),
                                 scanner.value_end() - scanner.value_begin()));
}

TEST(AttributeScanTest, PiecesGiveTheValueOfTheWholeText) {
  for (const ScanCase& c : kScanCases) {
    for (size_t piece : {1, 2, 3, 7}) {
      for (size_t keep_limit : {0, 2, 12, 1024}) {
        SCOPED_TRACE(std::string(c.label) + ", pieces of " +
                     std::to_string(piece) + ", keeping " +
                     std::to_string(keep_limit));
        EXPECT_EQ(
            ScanInPieces(AttributeScan::Height(), c.text, piece, keep_limit),
            c.height);
        EXPECT_EQ(
            ScanInPieces(AttributeScan::Width(), c.text, piece, keep_limit),
            c.width);
      }
    }
  }
}

TEST(AttributeScanTest, DotRightAfterEqualsIsAnError) {
  for (size_t piece : {1, 2, 3, 7}) {
    EXPECT_THROW(
        ScanInPieces(AttributeScan::Width(), "<svg width=.5>", piece, 64),
        RecordError);
  }
  EXPECT_THROW(AttributeScan::Height().Scan("<svg height=.5>"), RecordError);
  EXPECT_THROW(AttributeScan::Width().Scan("<svg width=.5>"), RecordError);
  try {
    AttributeScan::Height().Scan("<svg height=.5>");
  } catch (const RecordError& e) {
    EXPECT_EQ(std::string(e.what()),
              "the height attribute has \".\" right after \"=\", so its "
              "value cannot be read");
  }
}

TEST(AttributeScanTest, ValueLongerThanTheLongestIsAnError) {
  const size_t longest = AttributeScan::kLongestValue;
  const struct {
    std::string text;
    bool refused;
  } kCases[] = {
      {"<svg width=\"" + std::string(longest, '7') + ".5\">", false},
      {"<svg width=\"" + std::string(longest + 1, '7') + ".5\">", true},
      // NUL is left out of the catalogue: it does not count.
      {"<svg width=\"" + std::string(longest, '7') + std::string(9, '\0') +
           ".5\">",
       false},
      // Without a "." the value is empty, however long the text.
      {"<svg width=\"" + std::string(longest * 2, '7'), false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text.size());
    for (size_t piece : {size_t{4096}, c.text.size()}) {
      if (c.refused) {
        EXPECT_THROW(ScanInPieces(AttributeScan::Width(), c.text, piece, 64),
                     RecordError);
      } else {
        EXPECT_NO_THROW(
            ScanInPieces(AttributeScan::Width(), c.text, piece, 64));
      }
    }
  }
  try {
    AttributeScan::Height().Scan(" height=\"" + std::string(longest + 1, '1') +
                                 ".");
    ADD_FAILURE() << "not refused";
  } catch (const RecordError& e) {
    EXPECT_EQ(std::string(e.what()),
              "the height attribute's value runs on for more than 4096 "
              "bytes before its \".\"");
  }
}

TEST(ParseImageNumberTest, AcceptsSignAndDigits) {
  const struct {
    std::string_view text;
    int32_t number;
  } kCases[] = {
      {"0", 0},
      {"42", 42},
      {"0042", 42},
      {"00000000000000000001", 1},
      {"+7", 7},
      {"-1", -1},
      {"-0", 0},
      {"2147483647", 2147483647},
      {"-2147483648", -2147483647 - 1},
      {"000000000002147483647", 2147483647},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ParseImageNumber(c.text), c.number);
  }
}

TEST(ParseImageNumberTest, RejectsEverythingElse) {
  const struct {
    std::string_view text;
    std::string_view message_part;
  } kCases[] = {
      {"", "no image number"},
      {"+", "no image number"},
      {"-", "no image number"},
      {"logo", "not an image number"},
      {" 42", "not an image number"},
      {"42 ", "not an image number"},
      {"4 2", "not an image number"},
      {"1.5", "not an image number"},
      {"1e3", "not an image number"},
      {"1,000", "not an image number"},
      {"0x1F", "not an image number"},
      {"&H1F", "not an image number"},
      {"+-1", "not an image number"},
      {"--1", "not an image number"},
      {"١٢", "not an image number"},  // Arabic-Indic digits in UTF-8.
      {"2147483648", "outside the range"},
      {"-2147483649", "outside the range"},
      {"99999999999999999999999", "outside the range"},
      {"-99999999999999999999999", "outside the range"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text);
    try {
      ParseImageNumber(c.text);
      ADD_FAILURE() << "accepted";
    } catch (const RecordError& e) {
      EXPECT_NE(std::string(e.what()).find(c.message_part), std::string::npos)
          << e.what();
    }
  }
}

TEST(CategoryOfTest, EachRangeOf500HasItsName) {
  const struct {
    int32_t number;
    std::string_view category;
  } kCases[] = {
      {0, "Smiley"},
      {42, "Smiley"},
      {499, "Smiley"},
      {500, "Bubbles"},
      {999, "Bubbles"},
      {1000, "Pfeile"},
      {1500, "Geometrie"},
      {2000, "Ornamente"},
      {2500, "Rahmen"},
      {3000, "Menschen"},
      {3500, "Technik"},
      {4000, "Tiere"},
      {4500, "Pflanzen"},
      {5000, "Zeichen"},
      {5500, "Fahnen"},
      {6000, "Style"},
      {6499, "Style"},
      {6500, "H\xE4user"},
      {6999, "H\xE4user"},
      {7000, "Party"},
      {7500, "Urlaub"},
      {8000, "Liebe"},
      {8500, "Sonstige"},
      {8999, "Sonstige"},
      {9000, "Kalender"},
      {123456, "Kalender"},
      {2147483647, "Kalender"},
      {-1, ""},
      {-2147483647 - 1, ""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.number);
    EXPECT_EQ(CategoryOf(c.number), c.category);
  }
}

TEST(MakeRecordTest, NumberFromTheNameLessItsExtension) {
  constexpr std::string_view kText = R"(<svg width="210.5" height="99.75">)";
  const struct {
    std::string_view name;
    std::string_view number;
    std::string_view category;
  } kCases[] = {
      {"0042.svg", "42", "Smiley"},
      {"1234.svg", "1234", "Pfeile"},
      {"7.SVG", "7", "Smiley"},
      {"07.Svg", "7", "Smiley"},
      {"-5.svg", "-5", ""},
      {"+6500.svg", "6500", "H\xE4user"},
      {"9000.svg", "9000", "Kalender"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    CatalogueRecord record =
        MakeRecord(c.name, AttributeScan::Height().Scan(kText),
                   AttributeScan::Width().Scan(kText));
    EXPECT_EQ(record.number, c.number);
    EXPECT_EQ(record.category, c.category);
    EXPECT_EQ(record.width, "210");
    EXPECT_EQ(record.height, "99");
  }
}

TEST(MakeRecordTest, NamesThatAreNotNumbersAreErrors) {
  for (std::string_view name :
       {"logo.svg", ".svg", "12a.svg", "1 2.svg", "3000000000.svg"}) {
    SCOPED_TRACE(name);
    EXPECT_THROW(MakeRecord(name, "", ""), RecordError);
  }
}

}  // namespace
}  // namespace tevgen
