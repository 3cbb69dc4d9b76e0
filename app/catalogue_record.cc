#include "app/catalogue_record.h"

#include <algorithm>
#include <array>
#include <cstring>
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

// How many NUL bytes `text` holds. Values are a few bytes and hold no NUL
// as a rule: memchr passes over them at once, where std::count's vector
// set-up cost more than the bytes (a third of the scan's time).
size_t CountNuls(std::string_view text) {
  size_t count = 0;
  const char* end = text.data() + text.size();
  for (const char* at = text.data(); at < end; ++at, ++count) {
    at = static_cast<const char*>(
        std::memchr(at, '\0', static_cast<size_t>(end - at)));
    if (at == nullptr) break;
  }
  return count;
}

}  // namespace

AttributeScan::AttributeScan(std::string_view pattern) : pattern_(pattern) {}

const AttributeScan& AttributeScan::Height() {
  static const AttributeScan scan(" height=");
  return scan;
}

const AttributeScan& AttributeScan::Width() {
  static const AttributeScan scan(" width=");
  return scan;
}

RecordError AttributeScan::DotRightAfterPattern() const {
  // The pattern is " <name>=".
  std::string name(pattern_.substr(1, pattern_.size() - 2));
  return RecordError(
      Message(MessageId::kDotRightAfterEquals, {{"attribute", name}}));
}

RecordError AttributeScan::ValueTooLong() const {
  std::string name(pattern_.substr(1, pattern_.size() - 2));
  return RecordError(
      Message(MessageId::kValueTooLong,
              {{"attribute", name}, {"limit", std::to_string(kLongestValue)}}));
}

std::string AttributeScan::Scan(std::string_view text) const {
  AttributeScanner scanner(*this, text.size());
  scanner.Feed(text);
  scanner.Finish();
  scanner.CheckValue();
  return std::string(scanner.value());
}

AttributeScanner::AttributeScanner(const AttributeScan& scan,
                                   size_t memory_limit)
    : scan_(scan), memory_limit_(memory_limit) {}

size_t AttributeScanner::FindPatternEnd(std::string_view piece) {
  std::string_view pattern = scan_.pattern_;
  if (!carried_.empty()) {
    // A match that begins in the carried bytes ends in this piece.
    std::string joined = carried_;
    joined.append(piece.substr(0, pattern.size() - 1));
    size_t at = joined.find(pattern);
    if (at != std::string::npos) {
      return at + pattern.size() - carried_.size();
    }
  }
  // A match ends at a "=", the pattern's only one. An image has far fewer
  // "=" than spaces, and memchr finds them many bytes at a step; the bytes
  // before each are then compared (a skipping search over the whole text
  // took 6% of a run on the real collection).
  const char* begin = piece.data();
  const size_t before = pattern.size() - 1;
  for (size_t from = before; from < piece.size();) {
    const char* sign = static_cast<const char*>(
        std::memchr(begin + from, '=', piece.size() - from));
    if (sign == nullptr) break;
    // The byte before the "=" tells most other attributes apart without a
    // call ("version=", "xmlns=" and the like come first in an image).
    if (sign[-1] == pattern[before - 1] &&
        std::memcmp(sign - before, pattern.data(), before) == 0) {
      return static_cast<size_t>(sign - begin) + 1;
    }
    from = static_cast<size_t>(sign - begin) + 1;
  }
  carried_.append(
      piece.substr(piece.size() - std::min(piece.size(), pattern.size() - 1)));
  carried_.erase(
      0, carried_.size() - std::min(carried_.size(), pattern.size() - 1));
  return std::string_view::npos;
}

void AttributeScanner::Feed(std::string_view piece) {
  size_t at = 0;  // Where in `piece` the scan goes on.
  if (state_ == State::kSearching) {
    at = FindPatternEnd(piece);
    if (at == std::string_view::npos)
      at = piece.size();
    else
      state_ = State::kQuote;
  }
  if (state_ == State::kQuote && at < piece.size()) {
    // The pattern holds no ".", so the first "." after the pattern's start
    // is the first from here on; here it would leave no room for a value.
    if (piece[at] == '.') {
      state_ = State::kDotRightAfterPattern;
    } else {
      state_ = State::kValue;
      value_begin_ = offset_ + at + 1;
      ++at;
    }
  }
  if (state_ == State::kValue && at < piece.size()) {
    size_t dot = piece.find('.', at);
    size_t end = dot == std::string_view::npos ? piece.size() : dot;
    std::string_view part = piece.substr(at, end - at);
    value_bytes_ += part.size() - CountNuls(part);
    if (in_memory_ && value_.size() + (end - at) <= memory_limit_) {
      value_.append(piece.substr(at, end - at));
    } else {
      in_memory_ = false;
      value_.clear();
      value_.shrink_to_fit();
    }
    if (dot != std::string_view::npos) {
      state_ = value_bytes_ > AttributeScan::kLongestValue ? State::kTooLong
                                                           : State::kFound;
      value_end_ = offset_ + dot;
    }
  }
  offset_ += piece.size();
}

void AttributeScanner::FeedNuls(uint64_t count) {
  if (count == 0) return;
  // A NUL is neither in the pattern nor a ".": after the first one, a match
  // cannot begin in the carried bytes, and the rest only lengthen a value.
  Feed(std::string_view("", 1));
  uint64_t rest = count - 1;
  if (state_ == State::kValue && in_memory_) {
    if (value_.size() + rest <= memory_limit_) {
      value_.append(static_cast<size_t>(rest), '\0');
    } else {
      in_memory_ = false;
      value_.clear();
      value_.shrink_to_fit();
    }
  }
  offset_ += rest;
}

void AttributeScanner::Finish() {
  if (!settled()) state_ = State::kNone;
}

void AttributeScanner::CheckValue() const {
  if (state_ == State::kDotRightAfterPattern)
    throw scan_.DotRightAfterPattern();
  if (state_ == State::kTooLong) throw scan_.ValueTooLong();
}

std::string_view AttributeScanner::value() const {
  return state_ == State::kFound ? std::string_view(value_) : "";
}

int32_t ParseImageNumber(std::string_view digits) {
  std::string_view rest = digits;
  bool negative = false;
  if (!rest.empty() && (rest[0] == '+' || rest[0] == '-')) {
    negative = rest[0] == '-';
    rest.remove_prefix(1);
  }
  if (rest.empty()) {
    throw RecordError(MessageId::kNoImageNumber);
  }
  // Accumulate towards the negative side, which holds one more value.
  constexpr int64_t kLowest = std::numeric_limits<int32_t>::min();
  int64_t value = 0;
  bool too_large = false;
  for (char c : rest) {
    if (c < '0' || c > '9') {
      throw RecordError(MessageId::kNotAnImageNumber);
    }
    if (!too_large) {
      value = value * 10 - (c - '0');
      too_large = value < kLowest;
    }
  }
  if (!negative) value = -value;
  if (too_large || value > std::numeric_limits<int32_t>::max()) {
    throw RecordError(MessageId::kImageNumberOutOfRange);
  }
  return static_cast<int32_t>(value);
}

std::string_view CategoryOf(int32_t number) {
  if (number < 0) return "";
  size_t range = static_cast<size_t>(number / kCategoryRange);
  return kCategories[std::min(range, kCategories.size() - 1)];
}

CatalogueRecord MakeRecord(std::string_view name, std::string_view height,
                           std::string_view width) {
  CatalogueRecord record;
  record.height = height;
  record.width = width;
  name.remove_suffix(std::min(name.size(), kImageExtension.size()));
  int32_t number = ParseImageNumber(name);
  record.number = std::to_string(number);
  record.category = CategoryOf(number);
  return record;
}

}  // namespace tevgen
