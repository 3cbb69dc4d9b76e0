#include "app/display_name.h"

#include <gtest/gtest.h>

namespace tevgen {
namespace {

TEST(DisplayNameTest, UnsafeCharactersAreEscapedAndNothingElse) {
  const struct {
    std::string_view name;
    std::string_view shown;
  } kCases[] = {
      {"/srv/clipart/0042.svg", "/srv/clipart/0042.svg"},
      {"C:\\my clips\\1.svg", "C:\\my clips\\1.svg"},
      {"say \"hi\".svg", "say \"hi\".svg"},
      {"Bild-\xC3\xA4.svg", "Bild-\xC3\xA4.svg"},  // UTF-8 ä
      {"Bild-\xE4.svg", "\"Bild-\\344.svg\""},     // Latin-1 ä: not UTF-8
      {"\xE2\x80\xA8", "\"\\342\\200\\250\""},     // U+2028 ends a line
      {"\xE2\x80\xA9", "\"\\342\\200\\251\""},     // U+2029 too
      {"1\xE2\x80\xAEgvs.2", "\"1\\342\\200\\256gvs.2\""},  // U+202E
      {"\xE2\x81\xA6x\xE2\x81\xA9", "\"\\342\\201\\246x\\342\\201\\251\""},
      {"\xE2\x80\x8F\xD8\x9C", "\"\\342\\200\\217\\330\\234\""},  // RLM, ALM
      {"\xE2\x80\xAB\xE2\x80\xAF",
       "\"\\342\\200\\253\xE2\x80\xAF\""},  // U+202F safe
      {"\xE2\x82\xAC"
       "5",
       "\xE2\x82\xAC"
       "5"},                                             // € is printable
      {"cut \xE2\x82", "\"cut \\342\\202\""},            // truncated sequence
      {"\xED\xA0\x80", "\"\\355\\240\\200\""},           // a surrogate
      {"\xF4\x90\x80\x80", "\"\\364\\220\\200\\200\""},  // past U+10FFFF
      {"a\nb.svg", "\"a\\nb.svg\""},
      {"\x1b]0;owned\x07.svg", "\"\\033]0;owned\\a.svg\""},
      {"tab\there\r", "\"tab\\there\\r\""},
      {"del\x7f", "\"del\\177\""},
      {"c1 \x9b"
       "2J",
       "\"c1 \\2332J\""},  // raw CSI byte
      {"c1 \xC2\x9B"
       "2J",
       "\"c1 \\302\\2332J\""},           // CSI as UTF-8
      {"\xC2\xA0nbsp", "\xC2\xA0nbsp"},  // U+00A0 is printable
      {"\xC0\x8A", "\"\\300\\212\""},    // overlong: not UTF-8
      {"back\\slash\n\"q\"", "\"back\\\\slash\\n\\\"q\\\"\""},
      {std::string_view("nul\0x", 5), "\"nul\\000x\""},
      // Shown as nothing: two names would look alike.
      {"7\xE2\x80\x8B.svg", "\"7\\342\\200\\213.svg\""},  // U+200B
      {"\xEF\xBB\xBF"
       "1.svg",
       "\"\\357\\273\\2771.svg\""},                        // BOM
      {"1\xE2\x81\xA0", "\"1\\342\\201\\240\""},           // U+2060
      {"1\xF3\xA0\x80\xB1", "\"1\\363\\240\\200\\261\""},  // tag 1
      {"1\xC2\xAD"
       "2",
       "\"1\\302\\2552\""},  // soft hyphen
      // The rest of what Unicode calls default ignorable.
      {"7\xE1\x9E\xB4.svg", "\"7\\341\\236\\264.svg\""},   // U+17B4
      {"7\xE1\xA0\x8B", "\"7\\341\\240\\213\""},           // U+180B
      {"7\xF0\x9D\x85\xB3", "\"7\\360\\235\\205\\263\""},  // U+1D173
      {"7\xF0\x9B\xB2\xA0", "\"7\\360\\233\\262\\240\""},  // U+1BCA0
      {"7\xEF\xBF\xB0", "\"7\\357\\277\\260\""},           // U+FFF0
      {"7\xF3\xA0\x82\x80", "\"7\\363\\240\\202\\200\""},  // U+E0080
      // A combining mark over a digit, first, or after an escape.
      {"1\xCC\xB8.svg", "\"1\\314\\270.svg\""},  // U+0338 over 1
      {"\xCC\x81", "\"\\314\\201\""},
      {"1\xCC\xB8\xCC\xB8", "\"1\\314\\270\\314\\270\""},
      {"9\xEF\xB8\x8F", "\"9\\357\\270\\217\""},  // U+FE0F
      // After a letter it is how a decomposed name is spelled.
      {"Bild-a\xCC\x88.svg", "Bild-a\xCC\x88.svg"},
      {"\xC3\xA9\xCC\x81", "\xC3\xA9\xCC\x81"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(testing::PrintToString(std::string(c.name)));
    std::string shown = DisplayName(c.name);
    EXPECT_EQ(shown, c.shown);
  }
}

}  // namespace
}  // namespace tevgen
