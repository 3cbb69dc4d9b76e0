// The check (tevgen --check): everything about a folder's images that would
// stop a run or that a run writes without complaint but a gallery trips
// on, found in one pass that writes nothing.
//
// CheckFolder reads the folder exactly as a run does (ReadListedImages:
// the same listing, reader, -j and memory) and never opens the catalogue.
// Where a run would stop at an image, the check takes the very Error the
// run would report as a finding of kind kStopsRun and goes on, so every
// rule a run stops on at an image is a finding, and the first such finding
// in list order is the error a run reports, unless the run fails on the
// catalogue (which it opens before any image) first. Findings come in list
// order, those of one image in the order of its record: the number, then the
// width, then the height. The rules for what a run lets pass are pure functions
// below, each tested alone.
#ifndef TEVGEN_APP_CHECK_H_
#define TEVGEN_APP_CHECK_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "messages/messages.h"
#include "platform/env.h"

namespace tevgen {

// The kinds of finding. Only kStopsRun stops a run.
enum class FindingKind {
  kStopsRun,        // the error a run would stop with
  kNumberTaken,     // an earlier image in list order has the same number
  kNegativeNumber,  // below 0: no category
  kNoSize,          // no attribute, or no "." after it: the catalogue has 0
  kSizeZero,        // the value cut at its "." is empty or zeros
  kSizeNotANumber,  // the value cut at its "." is not ASCII digits
  kSizeTooLarge,    // with the catalogue's "0" after it, beyond 32 bits
};
inline constexpr size_t kFindingKindCount = 7;

// A kind's name for scripts ("size-not-a-number"), never translated.
// kStopsRun's findings are named by their message instead (KindName).
std::string_view KindName(FindingKind kind);

struct Finding {
  FindingKind kind;
  std::string path;  // the image
  Message message;   // what is wrong; for kStopsRun the run's own message
};

// The name of `finding` for scripts: KindName, or for kStopsRun the name of
// its message in lower case with "-" between the words
// ("not-an-image-number", "cannot-open-file").
std::string FindingName(const Finding& finding);

// What a finding says, without the path, before it is worded.
struct Problem {
  FindingKind kind;
  Message message;
};

// A size's value as the catalogue would take it, seen piece by piece so
// that a value of any length costs little memory: whether it is ASCII
// digits only, its significant digits (up to a few), and its first bytes
// to show.
class SizeValue {
 public:
  // Bytes of the value kept to show it.
  static constexpr size_t kShownBytes = 40;

  void Add(std::string_view piece);

  bool digits_only() const { return digits_only_; }
  // Whether it holds a quote, an angle bracket or a blank: it ran on past
  // its attribute into the text, for want of a "." of its own.
  bool ran_on() const { return ran_on_; }
  // Digits after the leading zeros, counted up to 11.
  size_t significant_digits() const { return significant_.size(); }
  std::string_view significant() const { return significant_; }
  // The first bytes, in double quotes with C escapes (DisplayName), and
  // "..." after them when there are more.
  std::string Shown() const;

 private:
  bool digits_only_ = true;
  bool ran_on_ = false;
  std::string significant_;
  std::string first_;
};

// Where the scan of one size attribute ended.
enum class SizeScan {
  kNotFound,  // no " <attribute>=" in the text
  kNoDot,     // found, but no "." after it
  kFound,     // its value ends at a "."
};

// The problem with one size, or none: kNoSize when the catalogue writes 0
// for want of a value, kSizeZero when the value is empty or zeros,
// kSizeNotANumber when it is anything but ASCII digits (a unit, "100%", a
// value that ran on into the text, which is told as such), kSizeTooLarge when
// the catalogue's value (the digits and "0") is beyond 2147483647. `attribute`
// is "width" or "height".
std::optional<Problem> SizeProblem(std::string_view attribute, SizeScan scan,
                                   const SizeValue& value);

// The problem with an image number in itself, or none: below 0 it gets no
// category.
std::optional<Problem> NumberProblem(int32_t number);

// Which image first gave each number, as images come in list order.
class NumberRegistry {
 public:
  // Records that the image at `index` of the list gives `number`. Returns
  // the index of the earlier image that gave it, or none. Memory grows
  // with the distinct numbers, not with the names.
  std::optional<size_t> Add(int32_t number, size_t index);

 private:
  std::unordered_map<int32_t, size_t> first_;
};

// What the check found in all.
struct CheckSummary {
  size_t images = 0;
  std::array<size_t, kFindingKindCount> kinds{};  // findings of each kind
  std::map<std::string, size_t> stops;            // kStopsRun's by FindingName
  size_t findings() const;
};

// Checks `directory`, `jobs` images read at once; calls found() for each
// finding as soon as it is known, in list order. Throws Error as a run
// does when the folder cannot be listed or opened, and what found() throws.
CheckSummary CheckFolder(Env& env, const std::string& directory, unsigned jobs,
                         const std::function<void(const Finding&)>& found);

}  // namespace tevgen

#endif  // TEVGEN_APP_CHECK_H_
