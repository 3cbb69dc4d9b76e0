#include "app/catalogue_format.h"

#include <cstring>
#include <initializer_list>

namespace tevgen {
namespace {

constexpr std::string_view kLineEnd = "\r\n";

// The record's three lines, but for the values between these parts.
constexpr std::string_view kIdStart = "  <tev id=\"";
constexpr std::string_view kCategoryStart = "\" displayed_name=\"";
constexpr std::string_view kRecordOpeningEnd = "\">";
constexpr std::string_view kFrameStart =
    "    <frame type=\"svg\" a=\"0\" x=\"0\" y=\"0\" w=\"";
constexpr std::string_view kHeightStart = "\" h=\"";
constexpr std::string_view kFrameEnd = "\"/>";
constexpr std::string_view kRecordClosing = "  </tev>";

// The frame's w and h are the width and height texts with this appended.
constexpr std::string_view kSizeSuffix = "0";

void Append(std::initializer_list<std::string_view> parts, std::string* out) {
  for (std::string_view part : parts) out->append(part);
}

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
  Append({"<?xml version=\"1.0\" encoding=\"ISO-8859-1\" ?>", kLineEnd,
          "<tevs>", kLineEnd},
         out);
}

void AppendCatalogueTail(std::string* out) {
  Append({"</tevs>", kLineEnd}, out);
}

void AppendRecordLines(const CatalogueRecord& record, std::string* out) {
  AppendRecordUpToWidth(record, out);
  AppendEscaped(record.width, out);
  AppendRecordUpToHeight(out);
  AppendEscaped(record.height, out);
  AppendRecordEnd(out);
}

void AppendRecordUpToWidth(const CatalogueRecord& record, std::string* out) {
  Append({kIdStart, record.number, kCategoryStart, record.category,
          kRecordOpeningEnd, kLineEnd, kFrameStart},
         out);
}

void AppendRecordUpToHeight(std::string* out) {
  Append({kSizeSuffix, kHeightStart}, out);
}

void AppendRecordEnd(std::string* out) {
  Append({kSizeSuffix, kFrameEnd, kLineEnd, kRecordClosing, kLineEnd}, out);
}

void AppendEscaped(std::string_view text, std::string* out) {
  size_t start = out->size();
  out->resize(start + EscapedSize(text));
  PutEscaped(text, out->data() + start);
}

}  // namespace tevgen
