#include "app/check_report.h"

#include <gtest/gtest.h>

namespace tevgen {
namespace {

TEST(CheckReportTest, JsonStringsHoldAnyBytes) {
  const struct {
    std::string bytes;
    std::string_view json;
  } kCases[] = {
      {"", R"j("")j"},
      {"/srv/clipart/7.svg", R"j("/srv/clipart/7.svg")j"},
      {"a\"b\\c", R"j("a\"b\\c")j"},
      {"tab\tnl\n", R"j("tab\u0009nl\u000a")j"},
      {std::string("nul\0", 4), R"j("nul\u0000")j"},
      {"Gr\xC3\xBC\xC3\x9F"
       "e",
       R"j("Gr\u00fc\u00dfe")j"},
      {"\xF0\x9F\x98\x80\xE2\x80\xAE", R"j("\ud83d\ude00\u202e")j"},
      // Not UTF-8: each byte as a lone surrogate, never a character.
      {"Bild-\xE4.svg", R"j("Bild-\udce4.svg")j"},
      {"\xC3", R"j("\udcc3")j"},
      {"\xED\xA0\x80", R"j("\udced\udca0\udc80")j"},  // an encoded surrogate
      {"\xC0\xAF", R"j("\udcc0\udcaf")j"},            // overlong
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(JsonString(c.bytes), c.json) << c.json;
  }
}

TEST(CheckReportTest, LinesForPeopleAndScripts) {
  Finding stop{FindingKind::kStopsRun, "/pics/logo.svg",
               Message(MessageId::kNotAnImageNumber)};
  Finding size{FindingKind::kSizeNotANumber, "/pics/a\nb.svg",
               Message(MessageId::kCheckSizeNotANumber,
                       {{"attribute", "width"}, {"value", "\"100%\""}})};
  EXPECT_EQ(FindingLine(stop, Language::kEnglish),
            "/pics/logo.svg: the file name is not an image number (only "
            "digits may stand before \".svg\") (this stops a run)\n");
  EXPECT_EQ(FindingLine(stop, Language::kGerman),
            "/pics/logo.svg: der Dateiname ist keine Bildnummer (vor \".svg\" "
            "d\xC3\xBCrfen nur Ziffern stehen) (das bricht einen Lauf ab)\n");
  EXPECT_EQ(FindingLine(size, Language::kEnglish),
            "\"/pics/a\\nb.svg\": the width is not a plain number once cut at "
            "its \".\": \"100%\"\n");
  EXPECT_EQ(FindingJson(stop),
            R"j({"kind":"not-an-image-number","stops_run":true,)j"
            R"j("path":"/pics/logo.svg","detail":"the file name is not an )j"
            R"j(image number (only digits may stand before \".svg\")"})j"
            "\n");
  EXPECT_EQ(FindingJson(size),
            R"j({"kind":"size-not-a-number","stops_run":false,)j"
            R"j("path":"/pics/a\u000ab.svg","detail":"the width is not a )j"
            R"j(plain number once cut at its \".\": \"100%\""})j"
            "\n");
}

TEST(CheckReportTest, Summaries) {
  CheckSummary none;
  none.images = 3;
  EXPECT_EQ(SummaryLine(none, Language::kEnglish), "images: 3, findings: 0\n");
  EXPECT_EQ(SummaryJson(none),
            R"j({"kind":"summary","images":3,"findings":0,"by_kind":{}})j"
            "\n");
  CheckSummary some;
  some.images = 10;
  some.kinds[static_cast<size_t>(FindingKind::kStopsRun)] = 3;
  some.kinds[static_cast<size_t>(FindingKind::kSizeZero)] = 1;
  some.stops = {{"not-an-image-number", 2}, {"cannot-open-file", 1}};
  EXPECT_EQ(SummaryLine(some, Language::kEnglish),
            "images: 10, findings: 4 (stop a run: 3, size 0: 1)\n");
  EXPECT_EQ(SummaryLine(some, Language::kGerman),
            "Bilder: 10, Befunde: 4 (brechen einen Lauf ab: 3, "
            "Gr\xC3\xB6\xC3\x9F"
            "e 0: 1)\n");
  EXPECT_EQ(SummaryJson(some),
            R"j({"kind":"summary","images":10,"findings":4,"by_kind":)j"
            R"j({"cannot-open-file":1,"not-an-image-number":2,"size-zero":1}})j"
            "\n");
}

TEST(CheckReportTest, BoxShowsWhatFitsAndCountsTheRest) {
  const struct {
    size_t lines;
    size_t line_bytes;
    size_t shown;
    std::string_view more;
  } kCases[] = {
      {0, 10, 0, ""},
      {1, 10, 1, ""},
      {CheckBox::kLines, 10, CheckBox::kLines, ""},
      {CheckBox::kLines + 1, 10, CheckBox::kLines, "... and 1 more findings\n"},
      {CheckBox::kLines + 500, 10, CheckBox::kLines,
       "... and 500 more findings\n"},
      {2, CheckBox::kLineBytes + 100, 2, ""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.lines);
    CheckBox box;
    // A line of x, and a two-byte letter where a long line is cut.
    std::string line(c.line_bytes, 'x');
    if (line.size() > CheckBox::kLineBytes) {
      line.replace(CheckBox::kLineBytes - 1, 2, "\xC3\xA4");
    }
    for (size_t i = 0; i < c.lines; ++i) box.Add(line + "\n");
    std::string text = box.Text("summary\n", Language::kEnglish);
    std::string expected;
    std::string shown = line.size() > CheckBox::kLineBytes
                            ? line.substr(0, CheckBox::kLineBytes - 1) + "..."
                            : line;
    for (size_t i = 0; i < c.shown; ++i) expected += shown + "\n";
    expected += c.more;
    if (!expected.empty()) expected += "\n";
    EXPECT_EQ(text, expected + "summary\n");
  }
}

}  // namespace
}  // namespace tevgen
