// CatalogueRecord is what the catalogue says about one image: its number,
// its category and the width and height found in its text. The rules that
// make it live here, as pure functions of the image's file name and text,
// so that every rule can be tested without a disk.
#ifndef TEVGEN_APP_CATALOGUE_RECORD_H_
#define TEVGEN_APP_CATALOGUE_RECORD_H_

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "messages/messages.h"

namespace tevgen {

// An image is a file named by its number and this extension, the extension
// in any letter case: "0042.svg", "7.SVG".
inline constexpr std::string_view kImageExtension = ".svg";

struct CatalogueRecord {
  std::string number;    // The image number in decimal.
  std::string category;  // One of the category names, or empty.
  std::string width;     // The width text, possibly empty.
  std::string height;    // The height text, possibly empty.
};

// Thrown when an image cannot be catalogued: message() says why, what() the
// same in English. The caller adds the image's path.
class RecordError : public std::runtime_error {
 public:
  explicit RecordError(Message message)
      : std::runtime_error(message.Text(Language::kEnglish)),
        message_(std::move(message)) {}
  const Message& message() const { return message_; }

 private:
  Message message_;
};

// One of the two size scans, " height=" or " width=": the value of the first
// attribute that its pattern finds in an image's text, from the character
// after the one that follows the pattern (the opening quote) up to, not
// including, the first "." after the pattern, wherever that lies. Empty
// when the pattern or a later "." is missing. Scan throws RecordError when
// the "." comes right after the pattern, or when the value holds more than
// kLongestValue bytes besides NUL (which the catalogue leaves out).
//
// Why a longest value: a value without a "." of its own runs on to the next
// "." anywhere, and is written as it is; a text of megabytes without one,
// given a hundred names (hard links cost their maker nothing), made a
// catalogue of hundreds of megabytes, written by whoever runs the program.
// The longest value in 8,121 images of a real collection (Debian's
// openclipart-svg) and the system's icons is 602 bytes: 4 KiB is six times
// more, and bounds a record to twice that, escaped (at most 6 bytes for
// one): 48 KiB a name, however many names an image is given.
class AttributeScan {
 public:
  static constexpr uint64_t kLongestValue = 4 * 1024;

  static const AttributeScan& Height();
  static const AttributeScan& Width();

  // The scan of a whole text.
  std::string Scan(std::string_view text) const;

 private:
  friend class AttributeScanner;
  explicit AttributeScan(std::string_view pattern);

  // What is wrong when the "." comes right after the pattern.
  RecordError DotRightAfterPattern() const;
  // What is wrong when the value is longer than kLongestValue.
  RecordError ValueTooLong() const;

  // " <name>=": its only "=" is its last byte.
  std::string_view pattern_;
};

// An AttributeScan of a text that arrives in pieces, as an image is read:
// the same value as the scan of the whole text, whatever the pieces. Once
// settled() no later piece can change the result, so the reader may stop.
// A value longer than `memory_limit` bytes is not kept in memory: only
// where it lies in the text is, for the caller to copy from there.
class AttributeScanner {
 public:
  AttributeScanner(const AttributeScan& scan, size_t memory_limit);

  // The next piece of the text.
  void Feed(std::string_view piece);
  // The next `count` bytes of the text are NUL (a hole of a sparse file):
  // the same as Feed of them, without them in memory.
  void FeedNuls(uint64_t count);
  // Says that the text has ended.
  void Finish();

  bool settled() const { return IsSettled(state_); }

  // After Finish(). Throws RecordError as AttributeScan::Scan does.
  void CheckValue() const;
  // Whether the value is in memory; if not, it lies at [value_begin(),
  // value_end()) in the text.
  bool value_in_memory() const { return state_ != State::kFound || in_memory_; }
  std::string_view value() const;
  uint64_t value_begin() const { return value_begin_; }
  uint64_t value_end() const { return value_end_; }

 private:
  enum class State {
    kSearching,             // for the pattern
    kQuote,                 // at the character after the pattern
    kValue,                 // for the "." that ends the value
    kFound,                 // the value ends at a "."
    kDotRightAfterPattern,  // a "." right after the pattern: an error
    kTooLong,               // longer than kLongestValue: an error
    kNone,                  // the text ended first: the value is empty
  };
  // Whether no later piece can change the outcome of `state`. A switch
  // without default, so that a new state cannot go unclassified.
  static constexpr bool IsSettled(State state) {
    switch (state) {
      case State::kSearching:
      case State::kQuote:
      case State::kValue:
        return false;
      case State::kFound:
      case State::kDotRightAfterPattern:
      case State::kTooLong:
      case State::kNone:
        return true;
    }
    return false;
  }
  // Where the pattern ends in `piece`, or npos; keeps the tail of the text
  // that a match spanning into the next piece would start in.
  size_t FindPatternEnd(std::string_view piece);

  const AttributeScan& scan_;
  size_t memory_limit_;
  State state_ = State::kSearching;
  std::string carried_;  // the last bytes of the text, fewer than the pattern
  uint64_t offset_ = 0;  // where the next piece begins in the text
  uint64_t value_begin_ = 0;
  uint64_t value_end_ = 0;
  std::string value_;
  bool in_memory_ = true;
  uint64_t value_bytes_ = 0;  // of the value so far, NUL left out
};

// `digits` as a 32-bit signed decimal number: an optional "+" or "-", then
// one or more ASCII digits (leading zeros allowed) and nothing else. Throws
// RecordError when the text is not of that form or the number does not fit.
int32_t ParseImageNumber(std::string_view digits);

// The category of an image number: one name for each range of 500 numbers
// from 0 upwards, the last range open upwards; empty below 0. Names are
// ISO-8859-1 bytes.
std::string_view CategoryOf(int32_t number);

// The record of the image file `name` (for example "0042.svg") whose sizes
// the scans found: the number is the name less its extension, the category
// that of the number. Throws RecordError.
CatalogueRecord MakeRecord(std::string_view name, std::string_view height,
                           std::string_view width);

}  // namespace tevgen

#endif  // TEVGEN_APP_CATALOGUE_RECORD_H_
