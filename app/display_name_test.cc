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
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(testing::PrintToString(std::string(c.name)));
    std::string shown = DisplayName(c.name);
    EXPECT_EQ(shown, c.shown);
  }
}

}  // namespace
}  // namespace tevgen
