#include "app/catalogue_format.h"

#include <cstring>

namespace tevgen {
namespace {

constexpr std::string_view kLineEnd = "\r\n";
constexpr std::string_view kRecordOpening = "  <tev id=\"";
constexpr std::string_view kCategoryStart = "\" displayed_name=\"";
constexpr std::string_view kFrameStart =
    "\">\r\n    <frame type=\"svg\" a=\"0\" x=\"0\" y=\"0\" w=\"";
constexpr std::string_view kHeightStart = "0\" h=\"";
constexpr std::string_view kRecordEnd = "0\"/>\r\n  </tev>\r\n";
constexpr size_t kRecordFixedSize = kRecordOpening.size() +
                                    kCategoryStart.size() + kFrameStart.size() +
                                    kHeightStart.size() + kRecordEnd.size();

char* Put(std::string_view text, char* at) {
  std::memcpy(at, text.data(), text.size());
  return at + text.size();
}

bool IsPlain(char c) {
  return static_cast<unsigned char>(c) >= 0x20 && c != '&' && c != '<' &&
         c != '>' && c != '"';
}

// What a byte that is not plain becomes in an attribute value: an entity or
// a character reference, or nothing for the control characters XML 1.0
// cannot hold.
std::string_view Replacement(char c) {
  switch (c) {
    case '&':
      return "&amp;";
    case '<':
      return "&lt;";
    case '>':
      return "&gt;";
    case '"':
      return "&quot;";
    case '\t':
      return "&#9;";
    case '\n':
      return "&#10;";
    case '\r':
      return "&#13;";
    default:
      return "";  // Not a null view: it is handed to memcpy.
  }
}

size_t EscapedSize(std::string_view text) {
  size_t size = 0;
  for (char c : text) size += IsPlain(c) ? 1 : Replacement(c).size();
  return size;
}

char* PutEscaped(std::string_view text, char* at) {
  for (char c : text) {
    if (IsPlain(c)) {
      *at++ = c;
    } else {
      at = Put(Replacement(c), at);
    }
  }
  return at;
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
  // Sized once and filled in place: this runs for every image.
  size_t width_size = EscapedSize(record.width);
  size_t height_size = EscapedSize(record.height);
  size_t start = out->size();
  out->resize(start + kRecordFixedSize + record.number.size() +
              record.category.size() + width_size + height_size);
  char* at = out->data() + start;
  at = Put(kRecordOpening, at);
  at = Put(record.number, at);
  at = Put(kCategoryStart, at);
  at = Put(record.category, at);
  at = Put(kFrameStart, at);
  at = PutEscaped(record.width, at);
  at = Put(kHeightStart, at);
  at = PutEscaped(record.height, at);
  Put(kRecordEnd, at);
}

void AppendRecordUpToWidth(const CatalogueRecord& record, std::string* out) {
  out->append(kRecordOpening);
  out->append(record.number);
  out->append(kCategoryStart);
  out->append(record.category);
  out->append(kFrameStart);
}

void AppendRecordUpToHeight(std::string* out) { out->append(kHeightStart); }

void AppendRecordEnd(std::string* out) { out->append(kRecordEnd); }

void AppendEscaped(std::string_view text, std::string* out) {
  size_t start = out->size();
  out->resize(start + EscapedSize(text));
  PutEscaped(text, out->data() + start);
}

}  // namespace tevgen
