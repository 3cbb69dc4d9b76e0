#include "app/catalogue_format.h"

#include <gtest/gtest.h>

namespace tevgen {
namespace {

std::string RecordLines(const CatalogueRecord& record) {
  std::string out;
  AppendRecordLines(record, &out);
  return out;
}

// The same lines with the sizes appended in pieces by the caller, as the
// run does for sizes it does not keep in memory.
std::string RecordLinesInParts(const CatalogueRecord& record) {
  std::string out;
  auto in_pieces = [](std::string_view size) {
    return [size](std::string* out) {
      for (char c : size) AppendEscaped(std::string_view(&c, 1), out);
    };
  };
  AppendRecordLines(record, &out, in_pieces(record.width),
                    in_pieces(record.height));
  return out;
}

TEST(CatalogueFormatTest, HeadAndTailOfAnEmptyCatalogue) {
  std::string out;
  AppendCatalogueHead(&out);
  AppendCatalogueTail(&out);
  EXPECT_EQ(out,
            "<?xml version=\"1.0\" encoding=\"ISO-8859-1\" ?>\r\n"
            "<tevs>\r\n"
            "</tevs>\r\n");
}

TEST(CatalogueFormatTest, RecordLinesByteForByte) {
  const struct {
    CatalogueRecord record;
    std::string_view lines;
  } kCases[] = {
      {{"1234", "Pfeile", "210", "99"},
       "  <tev id=\"1234\" displayed_name=\"Pfeile\">\r\n"
       "    <frame type=\"svg\" a=\"0\" x=\"0\" y=\"0\" w=\"2100\" "
       "h=\"990\"/>\r\n"
       "  </tev>\r\n"},
      {{"42", "Smiley", "", ""},
       "  <tev id=\"42\" displayed_name=\"Smiley\">\r\n"
       "    <frame type=\"svg\" a=\"0\" x=\"0\" y=\"0\" w=\"0\" h=\"0\"/>\r\n"
       "  </tev>\r\n"},
      {{"6500", "H\xE4user", "64", ""},
       "  <tev id=\"6500\" displayed_name=\"H\xE4user\">\r\n"
       "    <frame type=\"svg\" a=\"0\" x=\"0\" y=\"0\" w=\"640\" h=\"0\"/>\r\n"
       "  </tev>\r\n"},
      {{"-3", "", "1", "2"},
       "  <tev id=\"-3\" displayed_name=\"\">\r\n"
       "    <frame type=\"svg\" a=\"0\" x=\"0\" y=\"0\" w=\"10\" h=\"20\"/>\r\n"
       "  </tev>\r\n"},
      {{"7", "Smiley", "100\" height=\"50", "50\">\r\n<g x=\"1"},
       "  <tev id=\"7\" displayed_name=\"Smiley\">\r\n"
       "    <frame type=\"svg\" a=\"0\" x=\"0\" y=\"0\" "
       "w=\"100&quot; height=&quot;500\" "
       "h=\"50&quot;&gt;&#13;&#10;&lt;g x=&quot;10\"/>\r\n"
       "  </tev>\r\n"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.record.number);
    EXPECT_EQ(RecordLines(c.record), c.lines);
    EXPECT_EQ(RecordLinesInParts(c.record), c.lines);
  }
}

TEST(CatalogueFormatTest, EscapingKeepsAttributeValuesWellFormed) {
  const struct {
    std::string_view text;
    std::string_view escaped;
  } kCases[] = {
      {"", ""},
      {"210", "210"},
      {"a&b", "a&amp;b"},
      {"<>", "&lt;&gt;"},
      {"\"q\"", "&quot;q&quot;"},
      {"'", "'"},
      {"\t\n\r", "&#9;&#10;&#13;"},
      {std::string_view("a\0b", 3), "ab"},
      {"\x01\x08\x0B\x0C\x1F", ""},
      {" ", " "},
      {"\x7F\x80\x9F\xA0\xE4\xFF", "\x7F\x80\x9F\xA0\xE4\xFF"},
      {"&amp;", "&amp;amp;"},
      {"]]>", "]]&gt;"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(testing::PrintToString(std::string(c.text)));
    // Appends after what the buffer already holds.
    std::string out = "x";
    AppendEscaped(c.text, &out);
    std::string expected = "x";
    expected.append(c.escaped);
    EXPECT_EQ(out, expected);
  }
}

}  // namespace
}  // namespace tevgen
