#include "app/catalogue_record.h"

#include <algorithm>
#include <array>
#include <limits>

namespace tevgen {
namespace {

// One name for each range of 500 image numbers, from 0 upwards; the last
// range is open upwards.
constexpr int32_t kCategoryRange = 500;
constexpr std::array<std::string_view, 19> kCategories = {
    "Smiley",  "Bubbles",  "Pfeile",   "Geometrie", "Ornamente",
    "Rahmen",  "Menschen", "Technik",  "Tiere",     "Pflanzen",
    "Zeichen", "Fahnen",   "Style",    "H\xE4user", "Party",
    "Urlaub",  "Liebe",    "Sonstige", "Kalender",
};

}  // namespace

AttributeScan::AttributeScan(std::string_view pattern)
    : pattern_(pattern),
      searcher_(pattern.data(), pattern.data() + pattern.size()) {}

const AttributeScan& AttributeScan::Height() {
  static const AttributeScan scan(" height=");
  return scan;
}

const AttributeScan& AttributeScan::Width() {
  static const AttributeScan scan(" width=");
  return scan;
}

std::string AttributeScan::Scan(std::string_view text) const {
  const char* begin = text.data();
  const char* end = begin + text.size();
  const char* match = std::search(begin, end, searcher_);
  if (match == end) return "";
  size_t found = static_cast<size_t>(match - begin);
  size_t dot = text.find('.', found + 1);
  if (dot == std::string_view::npos) return "";
  // The value starts past the pattern and the one character after it.
  size_t start = found + pattern_.size() + 1;
  if (dot < start) {
    std::string name(pattern_.substr(1, pattern_.size() - 2));
    throw RecordError("the " + name + " attribute has \".\" right after \"=\"" +
                      ", so its value cannot be read");
  }
  return std::string(text.substr(start, dot - start));
}

int32_t ParseImageNumber(std::string_view digits) {
  std::string_view rest = digits;
  bool negative = false;
  if (!rest.empty() && (rest[0] == '+' || rest[0] == '-')) {
    negative = rest[0] == '-';
    rest.remove_prefix(1);
  }
  if (rest.empty()) {
    throw RecordError("the file name has no image number before \".svg\"");
  }
  // Accumulate towards the negative side, which holds one more value.
  constexpr int64_t kLowest = std::numeric_limits<int32_t>::min();
  int64_t value = 0;
  bool too_large = false;
  for (char c : rest) {
    if (c < '0' || c > '9') {
      throw RecordError(
          "the file name is not an image number (only digits may stand "
          "before \".svg\")");
    }
    if (!too_large) {
      value = value * 10 - (c - '0');
      too_large = value < kLowest;
    }
  }
  if (!negative) value = -value;
  if (too_large || value > std::numeric_limits<int32_t>::max()) {
    throw RecordError(
        "the image number is outside the range -2147483648 to 2147483647");
  }
  return static_cast<int32_t>(value);
}

std::string_view CategoryOf(int32_t number) {
  if (number < 0) return "";
  size_t range = static_cast<size_t>(number / kCategoryRange);
  return kCategories[std::min(range, kCategories.size() - 1)];
}

CatalogueRecord BuildRecord(std::string_view name,
                            std::string_view image_text) {
  CatalogueRecord record;
  record.height = AttributeScan::Height().Scan(image_text);
  record.width = AttributeScan::Width().Scan(image_text);
  int32_t number =
      ParseImageNumber(name.substr(0, name.size() < 4 ? 0 : name.size() - 4));
  record.number = std::to_string(number);
  record.category = CategoryOf(number);
  return record;
}

}  // namespace tevgen
