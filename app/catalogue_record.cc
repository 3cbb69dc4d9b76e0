#include "app/catalogue_record.h"

#include <array>
#include <limits>

namespace tevgen {
namespace {

struct CategoryRange {
  int32_t lower_bound;
  std::string_view name;
};

constexpr std::array<CategoryRange, 19> kCategories = {{
    {0, "Smiley"},       {500, "Bubbles"},    {1000, "Pfeile"},
    {1500, "Geometrie"}, {2000, "Ornamente"}, {2500, "Rahmen"},
    {3000, "Menschen"},  {3500, "Technik"},   {4000, "Tiere"},
    {4500, "Pflanzen"},  {5000, "Zeichen"},   {5500, "Fahnen"},
    {6000, "Style"},     {6500, "H\xE4user"}, {7000, "Party"},
    {7500, "Urlaub"},    {8000, "Liebe"},     {8500, "Sonstige"},
    {9000, "Kalender"},
}};

}  // namespace

std::string ScanAttributeValue(std::string_view text,
                               std::string_view pattern) {
  size_t found = text.find(pattern);
  if (found == std::string_view::npos) return "";
  size_t dot = text.find('.', found + 1);
  if (dot == std::string_view::npos) return "";
  // The value starts past the pattern and the one character after it.
  size_t start = found + pattern.size() + 1;
  if (dot < start) {
    std::string name(pattern.substr(1, pattern.size() - 2));
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
  std::string_view category;
  for (const CategoryRange& range : kCategories) {
    if (number < range.lower_bound) break;
    category = range.name;
  }
  return category;
}

CatalogueRecord BuildRecord(std::string_view name,
                            std::string_view image_text) {
  CatalogueRecord record;
  record.height = ScanAttributeValue(image_text, kHeightPattern);
  record.width = ScanAttributeValue(image_text, kWidthPattern);
  int32_t number =
      ParseImageNumber(name.substr(0, name.size() < 4 ? 0 : name.size() - 4));
  record.number = std::to_string(number);
  record.category = CategoryOf(number);
  return record;
}

}  // namespace tevgen
