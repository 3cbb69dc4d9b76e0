#include "app/check.h"

#include <exception>

#include "app/catalogue_record.h"
#include "app/display_name.h"
#include "app/file_list.h"
#include "app/image_reader.h"
#include "app/listed_images.h"
#include "platform/error.h"

namespace tevgen {
namespace {

constexpr std::array<std::string_view, kFindingKindCount> kKindNames = {
    "stops-run", "number-taken",      "negative-number", "no-size",
    "size-zero", "size-not-a-number", "size-too-large",
};

// The largest value the catalogue may write, 2147483647, less its "0".
constexpr std::string_view kLargestSize = "214748364";

// More significant digits than the largest size has are kept only to know
// that there are more.
constexpr size_t kSignificantKept = kLargestSize.size() + 2;

// Bytes that a size's own value never holds but the text around it does.
constexpr std::string_view kRanOnBytes = "\"'<> \t\r\n";

// How a size's value is copied where it is too long for memory: in pieces
// of this size.
constexpr size_t kCopyPiece = 64 * 1024;

// Where the scan of a size ended, from where the reader says it lies: a
// value begins after the pattern (" width=", 7 bytes or more) and the
// quote, so only a scan that found its pattern has a begin, and only one
// that found its "." has an end.
SizeScan ScanOf(const ValueSpan& span) {
  if (span.end != 0) return SizeScan::kFound;
  return span.begin != 0 ? SizeScan::kNoDot : SizeScan::kNotFound;
}

}  // namespace

std::string_view KindName(FindingKind kind) {
  return kKindNames[static_cast<size_t>(kind)];
}

std::string FindingName(const Finding& finding) {
  if (finding.kind != FindingKind::kStopsRun) {
    return std::string(KindName(finding.kind));
  }
  // "kCannotOpenFile" -> "cannot-open-file"
  std::string_view id = NameOf(finding.message.id());
  if (id.starts_with('k')) id.remove_prefix(1);
  std::string name;
  for (char c : id) {
    if (c >= 'A' && c <= 'Z') {
      if (!name.empty()) name += '-';
      c = static_cast<char>(c - 'A' + 'a');
    }
    name += c;
  }
  return name;
}

void SizeValue::Add(std::string_view piece) {
  if (first_.size() <= kShownBytes) {
    first_.append(piece.substr(0, kShownBytes + 1 - first_.size()));
  }
  // A value may be megabytes long: once it is known not to be a number,
  // only a ran-on byte is looked for, and once one is found, nothing more.
  static constexpr auto kRanOn = [] {
    std::array<bool, 256> table{};
    for (char c : kRanOnBytes) table[static_cast<unsigned char>(c)] = true;
    return table;
  }();
  size_t at = 0;
  for (; digits_only_ && at < piece.size(); ++at) {
    char c = piece[at];
    if (c < '0' || c > '9') {
      digits_only_ = false;
    } else if ((c != '0' || !significant_.empty()) &&
               significant_.size() < kSignificantKept) {
      significant_ += c;
    }
  }
  if (!digits_only_ && at > 0) --at;  // the byte that was no digit
  for (; !ran_on_ && at < piece.size(); ++at) {
    ran_on_ = kRanOn[static_cast<unsigned char>(piece[at])];
  }
}

std::string SizeValue::Shown() const {
  if (first_.size() <= kShownBytes) return QuotedName(first_);
  // Cut before a character, not inside it, which would show as bytes that
  // are not the value's.
  size_t cut = kShownBytes;
  for (int back = 0;
       back < 3 && (static_cast<unsigned char>(first_[cut]) & 0xC0) == 0x80;
       ++back) {
    --cut;
  }
  return QuotedName(std::string_view(first_).substr(0, cut)) + "...";
}

std::optional<Problem> SizeProblem(std::string_view attribute, SizeScan scan,
                                   const SizeValue& value) {
  Message::Hole name("attribute", std::string(attribute));
  switch (scan) {
    case SizeScan::kNotFound:
      return Problem{FindingKind::kNoSize,
                     Message(MessageId::kCheckNoSize, {name})};
    case SizeScan::kNoDot:
      return Problem{FindingKind::kNoSize,
                     Message(MessageId::kCheckSizeWithoutDot, {name})};
    case SizeScan::kFound:
      break;
  }
  Message::Hole shown("value", value.Shown());
  if (!value.digits_only()) {
    return Problem{FindingKind::kSizeNotANumber,
                   Message(value.ran_on() ? MessageId::kCheckSizeRanOn
                                          : MessageId::kCheckSizeNotANumber,
                           {name, shown})};
  }
  if (value.significant_digits() == 0) {
    return Problem{FindingKind::kSizeZero,
                   Message(MessageId::kCheckSizeZero, {name, shown})};
  }
  // Equal lengths compare as numbers do.
  if (value.significant_digits() > kLargestSize.size() ||
      (value.significant_digits() == kLargestSize.size() &&
       value.significant() > kLargestSize)) {
    return Problem{FindingKind::kSizeTooLarge,
                   Message(MessageId::kCheckSizeTooLarge, {name, shown})};
  }
  return std::nullopt;
}

std::optional<Problem> NumberProblem(int32_t number) {
  if (number >= 0) return std::nullopt;
  return Problem{FindingKind::kNegativeNumber,
                 Message(MessageId::kCheckNegativeNumber,
                         {{"number", std::to_string(number)}})};
}

std::optional<size_t> NumberRegistry::Add(int32_t number, size_t index) {
  auto [at, added] = first_.try_emplace(number, index);
  if (added) return std::nullopt;
  return at->second;
}

size_t CheckSummary::findings() const {
  size_t sum = 0;
  for (size_t count : kinds) sum += count;
  return sum;
}

CheckSummary CheckFolder(Env& env, const std::string& directory, unsigned jobs,
                         const std::function<void(const Finding&)>& found) {
  std::unique_ptr<Folder> folder = env.OpenFolder(directory);
  FileListBox list(kImageExtension);
  list.SetPath(*folder);
  CheckSummary summary;
  summary.images = list.ListCount();
  NumberRegistry numbers;
  auto report = [&](Finding finding) {
    ++summary.kinds[static_cast<size_t>(finding.kind)];
    if (finding.kind == FindingKind::kStopsRun) {
      ++summary.stops[FindingName(finding)];
    }
    found(finding);
  };
  ReadListedImages(
      env, *folder, directory, list, jobs,
      [&](size_t index, ImageRecord& image) {
        std::string path = env.JoinPath(directory, list.List(index));
        struct Size {
          const char* attribute;
          const ValueSpan& span;
          const std::string& in_memory;
          SizeValue value;
        } sizes[] = {{"width", image.width, image.record.width, {}},
                     {"height", image.height, image.record.height, {}}};
        // The sizes as a run writes them, in the same order: a size too
        // long for memory is copied from the image, which fails where the
        // run would.
        try {
          if (image.error) std::rethrow_exception(image.error);
          for (Size& size : sizes) {
            if (size.span.in_memory) {
              size.value.Add(size.in_memory);
              continue;
            }
            std::string piece;
            CopyValue(image, size.span, kCopyPiece, &piece, [&] {
              size.value.Add(piece);
              piece.clear();
            });
            size.value.Add(piece);
          }
        } catch (const Error& e) {
          report({FindingKind::kStopsRun, e.path(), e.message()});
          return;
        }
        int32_t number = ParseImageNumber(image.record.number);
        if (std::optional<size_t> first = numbers.Add(number, index)) {
          report({FindingKind::kNumberTaken, path,
                  Message(MessageId::kCheckNumberTaken,
                          {{"number", image.record.number},
                           {"first", DisplayName(list.List(*first))}})});
        }
        if (std::optional<Problem> problem = NumberProblem(number)) {
          report({problem->kind, path, problem->message});
        }
        for (const Size& size : sizes) {
          if (std::optional<Problem> problem =
                  SizeProblem(size.attribute, ScanOf(size.span), size.value)) {
            report({problem->kind, path, problem->message});
          }
        }
      });
  return summary;
}

}  // namespace tevgen
