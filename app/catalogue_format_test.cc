#include "app/catalogue_format.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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

std::string Times(std::string_view text, size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i) out.append(text);
  return out;
}

TEST(CatalogueFormatTest, EscapingKeepsAttributeValuesWellFormed) {
  struct Case {
    std::string text;
    std::string escaped;
  };
  std::vector<Case> cases = {
      {"", ""},
      {"210", "210"},
      {"a&b", "a&amp;b"},
      {"<>", "&lt;&gt;"},
      {"\"q\"", "&quot;q&quot;"},
      {"'", "'"},
      {"\t\n\r", "&#9;&#10;&#13;"},
      {std::string("a\0b", 3), "ab"},
      {"\x01\x08\x0B\x0C\x1F", ""},
      {" ", " "},
      {"\x7F\x80\x9F\xA0\xE4\xFF", "\x7F\x80\x9F\xA0\xE4\xFF"},
      {"&amp;", "&amp;amp;"},
      {"]]>", "]]&gt;"},
      // Long texts go a word at a time: runs that cross words, bytes that
      // differ from the special ones in one bit, runs that outgrow the
      // buffers.
      {Times("x", 1500), Times("x", 1500)},
      {"abc" + Times("x", 30) + "&" + Times("y", 29),
       "abc" + Times("x", 30) + "&amp;" + Times("y", 29)},
      {Times("\x20\x21\x23\x24\x27\x3B\x3D\x3F\x7F\x80\xA2\xA6\xBC\xBE\xFF", 9),
       Times("\x20\x21\x23\x24\x27\x3B\x3D\x3F\x7F\x80\xA2\xA6\xBC\xBE\xFF",
             9)},
      {Times("a&", 100), Times("a&amp;", 100)},
      {Times("&&&&&&&&&<", 50), Times("&amp;&amp;&amp;&amp;&amp;&amp;&amp;"
                                      "&amp;&amp;&lt;",
                                      50)},
      {Times("ab\x01\x02", 3000), Times("ab", 3000)},
      {"z" + Times("&", 5000) + "x", "z" + Times("&amp;", 5000) + "x"},
  };
  const struct {
    std::string_view c;
    std::string_view escaped;
  } kNotPlain[] = {{"&", "&amp;"},   {"<", "&lt;"},   {">", "&gt;"},
                   {"\"", "&quot;"}, {"\t", "&#9;"},  {"\n", "&#10;"},
                   {"\r", "&#13;"},  {{"\0", 1}, ""}, {"\x01", ""},
                   {"\x1F", ""}};
  for (auto [c, escaped] : kNotPlain) {
    // At every offset within a word, and in runs of it.
    for (size_t at = 0; at <= 17; ++at) {
      std::string text = "0123456789abcdefghij";
      std::string expected = text;
      text.replace(at, 1, c);
      expected.replace(at, 1, escaped);
      cases.push_back({text, expected});
    }
    cases.push_back({Times(c, 1000), Times(escaped, 1000)});
    cases.push_back({"ab" + Times(c, 21), "ab" + Times(escaped, 21)});
  }
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.text.substr(0, 40)));
    // Appends after what the buffer already holds.
    std::string out = "x";
    AppendEscaped(c.text, &out);
    EXPECT_EQ(out, "x" + c.escaped);
    // In pieces, as a size not kept in memory is.
    std::string in_pieces;
    for (size_t at = 0; at < c.text.size(); at += 13) {
      AppendEscaped(std::string_view(c.text).substr(at, 13), &in_pieces);
    }
    EXPECT_EQ(in_pieces, c.escaped);
    // Sized first and written in place, as in a record.
    EXPECT_EQ(RecordLines({"1", "", c.text, ""}),
              "  <tev id=\"1\" displayed_name=\"\">\r\n"
              "    <frame type=\"svg\" a=\"0\" x=\"0\" y=\"0\" w=\"" +
                  c.escaped + "0\" h=\"0\"/>\r\n  </tev>\r\n");
  }
}

}  // namespace
}  // namespace tevgen
