#include "app/catalogue_format.h"

namespace tevgen {
namespace {

constexpr std::string_view kLineEnd = "\r\n";

bool NeedsEscaping(unsigned char c) {
  return c < 0x20 || c == '&' || c == '<' || c == '>' || c == '"';
}

}  // namespace

void AppendCatalogueHead(std::string* out) {
  out->append("<?xml version=\"1.0\" encoding=\"ISO-8859-1\" ?>");
  out->append(kLineEnd);
  out->append("<tevs>");
  out->append(kLineEnd);
}

void AppendCatalogueTail(std::string* out) {
  out->append("</tevs>");
  out->append(kLineEnd);
}

void AppendRecordLines(const CatalogueRecord& record, std::string* out) {
  out->append("  <tev id=\"");
  out->append(record.number);
  out->append("\" displayed_name=\"");
  out->append(record.category);
  out->append("\">");
  out->append(kLineEnd);
  out->append("    <frame type=\"svg\" a=\"0\" x=\"0\" y=\"0\" w=\"");
  AppendEscaped(record.width, out);
  out->append("0\" h=\"");
  AppendEscaped(record.height, out);
  out->append("0\"/>");
  out->append(kLineEnd);
  out->append("  </tev>");
  out->append(kLineEnd);
}

void AppendEscaped(std::string_view text, std::string* out) {
  size_t plain_start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (!NeedsEscaping(c)) continue;
    out->append(text.substr(plain_start, i - plain_start));
    plain_start = i + 1;
    switch (c) {
      case '&':
        out->append("&amp;");
        break;
      case '<':
        out->append("&lt;");
        break;
      case '>':
        out->append("&gt;");
        break;
      case '"':
        out->append("&quot;");
        break;
      case '\t':
        out->append("&#9;");
        break;
      case '\n':
        out->append("&#10;");
        break;
      case '\r':
        out->append("&#13;");
        break;
      default:
        break;  // Not allowed in XML 1.0: left out.
    }
  }
  out->append(text.substr(plain_start));
}

}  // namespace tevgen
