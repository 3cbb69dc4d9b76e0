#include "app/display_name.h"

#include <gtest/gtest.h>

namespace tevgen {
namespace {

TEST(DisplayNameTest, ControlCharactersAreEscapedAndNothingElse) {
  const struct {
    std::string_view name;
    std::string_view shown;
  } kCases[] = {
      {"/srv/clipart/0042.svg", "/srv/clipart/0042.svg"},
      {"C:\\my clips\\1.svg", "C:\\my clips\\1.svg"},
      {"say \"hi\".svg", "say \"hi\".svg"},
      {"Bild-\xC3\xA4.svg", "Bild-\xC3\xA4.svg"},  // UTF-8 ä
      {"Bild-\xE4.svg", "Bild-\xE4.svg"},          // Latin-1 ä
      {"\xE2\x80\xA8", "\xE2\x80\xA8"},            // U+2028, not C0/C1
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
      {"\xC0\x8A", "\"\xC0\\212\""},     // overlong: raw bytes
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
