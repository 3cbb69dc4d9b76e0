// CatalogueRecord is what the catalogue says about one image: its number,
// its category and the width and height found in its text. BuildRecord and
// the functions it is made of are pure: they take the image's file name and
// text and touch nothing else, so every rule can be tested without a disk.
#ifndef TEVGEN_APP_CATALOGUE_RECORD_H_
#define TEVGEN_APP_CATALOGUE_RECORD_H_

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tevgen {

struct CatalogueRecord {
  std::string number;    // The image number in decimal.
  std::string category;  // One of the category names, or empty.
  std::string width;     // The width text, possibly empty.
  std::string height;    // The height text, possibly empty.
};

// Thrown when an image cannot be catalogued; what() says why in plain words.
// The caller adds the image's path.
class RecordError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One of the two size scans, " height=" or " width=": the value of the first
// attribute that its pattern finds in an image's text, from the character
// after the one that follows the pattern (the opening quote) up to, not
// including, the first "." after the pattern, wherever that lies. Empty
// when the pattern or a later "." is missing. Scan throws RecordError when
// the "." comes right after the pattern.
class AttributeScan {
 public:
  static const AttributeScan& Height();
  static const AttributeScan& Width();

  std::string_view pattern() const { return pattern_; }
  std::string Scan(std::string_view text) const;

 private:
  explicit AttributeScan(std::string_view pattern);

  std::string_view pattern_;
  // The pattern begins with a space, which is everywhere in an image; a
  // searcher prepared once skips ahead instead of stopping at every space.
  std::boyer_moore_horspool_searcher<const char*> searcher_;
};

// `digits` as a 32-bit signed decimal number: an optional "+" or "-", then
// one or more ASCII digits (leading zeros allowed) and nothing else. Throws
// RecordError when the text is not of that form or the number does not fit.
int32_t ParseImageNumber(std::string_view digits);

// The category of an image number: one name for each range of 500 numbers
// from 0 upwards, the last range open upwards; empty below 0. Names are
// ISO-8859-1 bytes.
std::string_view CategoryOf(int32_t number);

// The record of the image file `name` (for example "0042.svg") whose text
// is `image_text`. The number is the name less its last four characters.
// Throws RecordError.
CatalogueRecord BuildRecord(std::string_view name, std::string_view image_text);

}  // namespace tevgen

#endif  // TEVGEN_APP_CATALOGUE_RECORD_H_
