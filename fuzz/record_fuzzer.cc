// libFuzzer target for the function that turns an image's name and text
// into its record lines. The input is the file name, a line feed, then the
// image's text. Whatever the input, the record must either be refused with
// a RecordError or come out as well-formed XML whose attributes hold exactly
// the number, the category and the scanned texts (less the control
// characters that XML cannot hold), checked with libxml2. The size scans are
// also run on the text in pieces, as images are read, and must agree with a
// plain whole-text scan, and the sizes escaped in pieces must give the
// same bytes.
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "app/catalogue_format.h"
#include "app/catalogue_record.h"

namespace {

std::string Latin1ToUtf8(std::string_view latin1) {
  std::string utf8;
  for (char c : latin1) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      utf8 += c;
    } else {
      utf8 += static_cast<char>(0xC0 | (byte >> 6));
      utf8 += static_cast<char>(0x80 | (byte & 0x3F));
    }
  }
  return utf8;
}

// What an attribute value holding `text` reads back as.
std::string ExpectedValue(std::string_view text) {
  std::string kept;
  for (char c : text) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 || c == '\t' || c == '\n' || c == '\r') kept += c;
  }
  return Latin1ToUtf8(kept);
}

std::string Attribute(xmlNode* node, const char* name) {
  xmlChar* value = xmlGetProp(node, reinterpret_cast<const xmlChar*>(name));
  if (value == nullptr) return "<missing>";
  std::string text(reinterpret_cast<const char*>(value));
  xmlFree(value);
  return text;
}

xmlNode* OnlyElementChild(xmlNode* parent, const char* name) {
  xmlNode* found = nullptr;
  for (xmlNode* child = parent->children; child; child = child->next) {
    if (child->type != XML_ELEMENT_NODE) continue;
    if (found != nullptr ||
        std::strcmp(reinterpret_cast<const char*>(child->name), name) != 0) {
      return nullptr;
    }
    found = child;
  }
  return found;
}

void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "check failed: %s\n", what);
    std::abort();
  }
}

// The size scan written the plain way, on the whole text; none for the
// errors of a "." right after the pattern and of a value longer than the
// longest, NUL left out.
std::optional<std::string> PlainScan(std::string_view text,
                                     std::string_view pattern) {
  size_t found = text.find(pattern);
  if (found == std::string_view::npos) return "";
  size_t dot = text.find('.', found + 1);
  if (dot == std::string_view::npos) return "";
  size_t start = found + pattern.size() + 1;
  if (dot < start) return std::nullopt;
  std::string_view value = text.substr(start, dot - start);
  if (value.size() - std::count(value.begin(), value.end(), '\0') >
      tevgen::AttributeScan::kLongestValue) {
    return std::nullopt;
  }
  return std::string(value);
}

// The scanner fed `text` in pieces of `piece` bytes, values longer than
// `keep_limit` cut from the text where it says.
std::optional<std::string> ScanInPieces(const tevgen::AttributeScan& scan,
                                        std::string_view text, size_t piece,
                                        size_t keep_limit) {
  tevgen::AttributeScanner scanner(scan, keep_limit);
  for (size_t at = 0; at < text.size() && !scanner.settled(); at += piece) {
    scanner.Feed(text.substr(at, piece));
  }
  scanner.Finish();
  try {
    scanner.CheckValue();
  } catch (const tevgen::RecordError&) {
    return std::nullopt;
  }
  if (scanner.value_in_memory()) return std::string(scanner.value());
  return std::string(text.substr(scanner.value_begin(),
                                 scanner.value_end() - scanner.value_begin()));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  xmlInitParser();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  size_t newline = input.find('\n');
  std::string_view name = input.substr(0, newline);
  std::string_view text =
      newline == std::string_view::npos ? "" : input.substr(newline + 1);

  size_t piece = 1 + size % 13;
  size_t keep_limit = size % 7;
  Check(ScanInPieces(tevgen::AttributeScan::Height(), text, piece,
                     keep_limit) == PlainScan(text, " height="),
        "the height scanned in pieces is the whole text's");
  Check(ScanInPieces(tevgen::AttributeScan::Width(), text, piece, keep_limit) ==
            PlainScan(text, " width="),
        "the width scanned in pieces is the whole text's");

  tevgen::CatalogueRecord record;
  try {
    record =
        tevgen::MakeRecord(name, tevgen::AttributeScan::Height().Scan(text),
                           tevgen::AttributeScan::Width().Scan(text));
  } catch (const tevgen::RecordError&) {
    return 0;
  }
  std::string document;
  tevgen::AppendCatalogueHead(&document);
  tevgen::AppendRecordLines(record, &document);
  tevgen::AppendCatalogueTail(&document);
  // The sizes appended in pieces, as sizes not kept in memory are, give
  // the same bytes.
  auto in_pieces = [piece](std::string_view size) {
    return [size, piece](std::string* out) {
      for (size_t at = 0; at < size.size(); at += piece) {
        tevgen::AppendEscaped(size.substr(at, piece), out);
      }
    };
  };
  std::string in_parts;
  tevgen::AppendCatalogueHead(&in_parts);
  tevgen::AppendRecordLines(record, &in_parts, in_pieces(record.width),
                            in_pieces(record.height));
  tevgen::AppendCatalogueTail(&in_parts);
  Check(in_parts == document, "sizes escaped in pieces are the same bytes");

  xmlDoc* doc = xmlReadMemory(
      document.data(), static_cast<int>(document.size()), "tev.xml", nullptr,
      XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  Check(doc != nullptr, "the catalogue is well-formed XML");
  xmlNode* root = xmlDocGetRootElement(doc);
  Check(root != nullptr &&
            std::strcmp(reinterpret_cast<const char*>(root->name), "tevs") == 0,
        "the root is <tevs>");
  xmlNode* tev = OnlyElementChild(root, "tev");
  Check(tev != nullptr, "one <tev> record");
  Check(Attribute(tev, "id") == record.number, "id is the number");
  Check(Attribute(tev, "displayed_name") == Latin1ToUtf8(record.category),
        "displayed_name is the category");
  xmlNode* frame = OnlyElementChild(tev, "frame");
  Check(frame != nullptr, "one <frame>");
  Check(Attribute(frame, "w") == ExpectedValue(record.width) + "0",
        "w is the width text and 0");
  Check(Attribute(frame, "h") == ExpectedValue(record.height) + "0",
        "h is the height text and 0");
  Check(Attribute(frame, "type") == "svg", "type is svg");
  xmlFreeDoc(doc);
  return 0;
}
