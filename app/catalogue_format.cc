#include "app/catalogue_format.h"

#include <algorithm>
#include <array>
#include <cstring>

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

// The texts `Parts` joined into one, at compile time: a record is written
// for every image, and fewer, longer copies are quicker.
template <const std::string_view&... Parts>
class Joined {
  static constexpr size_t kSize = (Parts.size() + ...);
  static constexpr std::array<char, kSize> kText = [] {
    std::array<char, kSize> text{};
    size_t at = 0;
    ((std::copy(Parts.begin(), Parts.end(), text.begin() + at),
      at += Parts.size()),
     ...);
    return text;
  }();

 public:
  static constexpr std::string_view value{kText.data(), kSize};
};

// Between a record's number, category, escaped width and escaped height.
constexpr std::string_view kBeforeWidth =
    Joined<kRecordOpeningEnd, kLineEnd, kFrameStart>::value;
constexpr std::string_view kBeforeHeight =
    Joined<kSizeSuffix, kHeightStart>::value;
constexpr std::string_view kAfterHeight =
    Joined<kSizeSuffix, kFrameEnd, kLineEnd, kRecordClosing, kLineEnd>::value;

// The one place that says in what order a record's parts come: calls
// text(t) for each fixed text and value of the record, and width() and
// height() where the escaped sizes go.
template <typename Text, typename Width, typename Height>
void ForEachRecordPart(const CatalogueRecord& record, const Text& text,
                       const Width& width, const Height& height) {
  text(kIdStart);
  text(record.number);
  text(kCategoryStart);
  text(record.category);
  text(kBeforeWidth);
  width();
  text(kBeforeHeight);
  height();
  text(kAfterHeight);
}

constexpr bool IsPlain(char c) {
  return static_cast<unsigned char>(c) >= 0x20 && c != '&' && c != '<' &&
         c != '>' && c != '"';
}

// What a byte that is not plain becomes in an attribute value: an entity or
// a character reference, or nothing for the control characters XML 1.0
// cannot hold.
constexpr std::string_view Replacement(char c) {
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
      return "";
  }
}

// What each byte becomes, as tables: its text in eight bytes, copied whole,
// and that text's length. So a byte costs a few loads and a store, not a
// test and a branch (a size may be 20 MB of "&"). The copy writes up to
// kEscapeSlack bytes past the escaped text, into room the caller keeps.
struct EscapeTables {
  char text[256][8];
  unsigned char size[256];
};
constexpr size_t kEscapeSlack = sizeof(EscapeTables::text[0]);
constexpr EscapeTables kEscapes = [] {
  EscapeTables tables{};
  for (size_t i = 0; i < 256; ++i) {
    char c = static_cast<char>(i);
    std::string_view text =
        IsPlain(c) ? std::string_view(&c, 1) : Replacement(c);
    std::copy(text.begin(), text.end(), tables.text[i]);
    tables.size[i] = static_cast<unsigned char>(text.size());
  }
  return tables;
}();

size_t EscapedSize(std::string_view text) {
  size_t size = 0;
  for (char c : text) size += kEscapes.size[static_cast<unsigned char>(c)];
  return size;
}

char* PutEscaped(std::string_view text, char* at) {
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    std::memcpy(at, kEscapes.text[byte], kEscapeSlack);
    at += kEscapes.size[byte];
  }
  return at;
}

// A record's escaped width and height are followed by at least this much
// fixed text, which is written after them over what their copies spill.
static_assert(kBeforeHeight.size() + kAfterHeight.size() >= kEscapeSlack &&
              kAfterHeight.size() >= kEscapeSlack);

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

void AppendRecordLines(const CatalogueRecord& record, std::string* out,
                       const AppendSizeFunction& append_width,
                       const AppendSizeFunction& append_height) {
  if (append_width || append_height) {
    ForEachRecordPart(
        record, [&](std::string_view text) { out->append(text); },
        [&] {
          append_width ? append_width(out) : AppendEscaped(record.width, out);
        },
        [&] {
          append_height ? append_height(out)
                        : AppendEscaped(record.height, out);
        });
    return;
  }
  // Sized once and filled in place: this runs for nearly every image.
  size_t size = 0;
  auto add = [&](std::string_view text) { size += text.size(); };
  ForEachRecordPart(
      record, add, [&] { size += EscapedSize(record.width); },
      [&] { size += EscapedSize(record.height); });
  size_t start = out->size();
  out->resize(start + size);
  char* at = out->data() + start;
  ForEachRecordPart(
      record,
      [&](std::string_view text) {
        std::memcpy(at, text.data(), text.size());
        at += text.size();
      },
      [&] { at = PutEscaped(record.width, at); },
      [&] { at = PutEscaped(record.height, at); });
}

void AppendEscaped(std::string_view text, std::string* out) {
  size_t start = out->size();
  size_t size = EscapedSize(text);
  out->resize(start + size + kEscapeSlack);
  PutEscaped(text, out->data() + start);
  out->resize(start + size);
}

}  // namespace tevgen
