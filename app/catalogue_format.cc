#include "app/catalogue_format.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <iterator>

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
// test and a branch. The copy writes up to kEscapeSlack bytes past the
// escaped text, into room the caller keeps.
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
constexpr size_t kLongestEscape =
    *std::max_element(std::begin(kEscapes.size), std::end(kEscapes.size));

// A long text (a size may be 20 MB of "&") is escaped a word at a time:
// runs of plain bytes are copied whole, a run of one byte that is not plain
// is written from a block of its text repeated, and only words that mix
// the two go byte by byte through the tables.
using Word = std::uint64_t;
constexpr size_t kWordSize = sizeof(Word);
constexpr Word kOnes = ~Word{0} / 0xFF;  // 0x0101...01

// `c` in every byte of a word.
constexpr Word Broadcast(char c) {
  return kOnes * static_cast<unsigned char>(c);
}

Word LoadWord(const char* at) {
  Word word;
  std::memcpy(&word, at, kWordSize);
  return word;
}

// Whether some byte of `word` is below `limit` (at most 0x80). Exact for
// the word as a whole, which is all that is asked of it.
constexpr Word HasByteBelow(Word word, unsigned char limit) {
  return (word - kOnes * limit) & ~word & kOnes * 0x80;
}

// Whether some byte of `word` is not plain: below 0x20, or one of & " (the
// two bytes that are 0x26 with bit 2 set) or < > (0x3E with bit 1 set).
constexpr bool HasNotPlain(Word word) {
  return (HasByteBelow(word, 0x20) |
          HasByteBelow((word | Broadcast(0x04)) ^ Broadcast('&'), 1) |
          HasByteBelow((word | Broadcast(0x02)) ^ Broadcast('>'), 1)) != 0;
}
// IsPlain is the rule; this checks at compile time that the word test
// follows it for every byte at every place in a word of plain bytes.
static_assert([] {
  for (unsigned byte = 0; byte < 256; ++byte) {
    for (size_t place = 0; place < kWordSize; ++place) {
      Word word = Broadcast('a') & ~(Word{0xFF} << (8 * place));
      word |= Word{byte} << (8 * place);
      if (HasNotPlain(word) == IsPlain(static_cast<char>(byte))) return false;
    }
  }
  return true;
}());

// Hands `text`'s escaped form to `sink` in parts, but for its last bytes
// that do not fill a word, which it returns: Plain(at, count) for bytes
// copied as they are, Repeat(c, count) for `count` copies of the not-plain
// byte `c`, and Bytes(at, count) for bytes to escape one by one. Words are
// read from the text's start, wherever it lies in memory. Kept out of
// line, so that Escape, which nearly every size passes through with a few
// bytes, stays small enough to be inlined.
template <typename Sink>
[[gnu::noinline]] std::string_view EscapeWords(std::string_view text,
                                               Sink& sink) {
  const char* at = text.data();
  const char* end = at + text.size();
  const char* plain = at;  // where the run of plain words began
  while (static_cast<size_t>(end - at) >= kWordSize) {
    Word word = LoadWord(at);
    if (!HasNotPlain(word)) {
      at += kWordSize;
      continue;
    }
    if (at != plain) sink.Plain(plain, static_cast<size_t>(at - plain));
    if (word == Broadcast(*at)) {
      const char* run = at + kWordSize;
      while (static_cast<size_t>(end - run) >= kWordSize &&
             LoadWord(run) == word) {
        run += kWordSize;
      }
      sink.Repeat(*at, static_cast<size_t>(run - at));
      at = run;
    } else {
      sink.Bytes(at, kWordSize);
      at += kWordSize;
    }
    plain = at;
  }
  if (at != plain) sink.Plain(plain, static_cast<size_t>(at - plain));
  return {at, static_cast<size_t>(end - at)};
}

// Hands `text`'s escaped form to `sink`. Most texts are a few digits, and
// go straight to the tables.
template <typename Sink>
void Escape(std::string_view text, Sink& sink) {
  if (text.size() >= kWordSize) [[unlikely]] {
    text = EscapeWords(text, sink);
  }
  sink.Bytes(text.data(), text.size());
}

// For each byte that is not plain and not left out, a block of its text
// repeated, from which a run of the byte is copied in large pieces.
constexpr size_t kRepeatBlockSize = 4096;
constexpr size_t kRepeatedBytes = [] {
  size_t count = 0;
  for (size_t i = 0; i < 256; ++i) {
    count += !IsPlain(static_cast<char>(i)) && kEscapes.size[i] > 0;
  }
  return count;
}();
struct RepeatBlocks {
  unsigned char block[256];  // a byte's block, kRepeatedBytes if none
  char text[kRepeatedBytes][kRepeatBlockSize];
  size_t copies[kRepeatedBytes];  // of the byte's text in its block
};
constexpr RepeatBlocks kRepeatBlocks = [] {
  RepeatBlocks blocks{};
  size_t block = 0;
  for (size_t i = 0; i < 256; ++i) {
    blocks.block[i] = kRepeatedBytes;
    std::string_view text(kEscapes.text[i], kEscapes.size[i]);
    if (IsPlain(static_cast<char>(i)) || text.empty()) continue;
    blocks.block[i] = static_cast<unsigned char>(block);
    blocks.copies[block] = kRepeatBlockSize / text.size();
    for (size_t copy = 0; copy < blocks.copies[block]; ++copy) {
      std::copy(text.begin(), text.end(),
                blocks.text[block] + copy * text.size());
    }
    ++block;
  }
  return blocks;
}();

// Calls put(at, size) for the escaped text of `count` copies of the
// not-plain byte `c`, in pieces of up to a block.
template <typename Put>
void PutRepeated(char c, size_t count, const Put& put) {
  auto byte = static_cast<unsigned char>(c);
  size_t block = kRepeatBlocks.block[byte];
  if (block == kRepeatedBytes) return;  // left out
  size_t size = kEscapes.size[byte];
  while (count > 0) {
    size_t copies = std::min(count, kRepeatBlocks.copies[block]);
    put(kRepeatBlocks.text[block], copies * size);
    count -= copies;
  }
}

// Counts the escaped size.
struct SizeSink {
  size_t size = 0;
  void Plain(const char*, size_t count) { size += count; }
  void Repeat(char c, size_t count) {
    size += count * kEscapes.size[static_cast<unsigned char>(c)];
  }
  void Bytes(const char* at, size_t count) {
    size_t sum = 0;
    for (const char* end = at + count; at != end; ++at) {
      sum += kEscapes.size[static_cast<unsigned char>(*at)];
    }
    size += sum;
  }
};

// Writes the escaped text at `at`, with kEscapeSlack bytes of room after
// it.
struct PutSink {
  char* at;
  void Plain(const char* from, size_t count) {
    std::memcpy(at, from, count);
    at += count;
  }
  void Repeat(char c, size_t count) {
    PutRepeated(c, count,
                [this](const char* from, size_t size) { Plain(from, size); });
  }
  void Bytes(const char* from, size_t count) {
    // In a local: the copies could overwrite `at` for all the compiler
    // knows, and it would load it again for every byte.
    char* to = at;
    for (const char* end = from + count; from != end; ++from) {
      auto byte = static_cast<unsigned char>(*from);
      std::memcpy(to, kEscapes.text[byte], kEscapeSlack);
      to += kEscapes.size[byte];
    }
    at = to;
  }
};

// Appends the escaped text to a string: short parts gathered in a buffer
// of its own (growing the string would fill it with zeros first), long ones
// appended straight from where they are.
class AppendSink {
 public:
  explicit AppendSink(std::string* out) : out_(out) {}
  AppendSink(const AppendSink&) = delete;
  AppendSink& operator=(const AppendSink&) = delete;

  void Plain(const char* from, size_t count) {
    if (count > kDirectSize || count > kBufferSize - used_) {
      Flush();
      if (count > kDirectSize) {
        out_->append(from, count);
        return;
      }
    }
    std::memcpy(buffer_ + used_, from, count);
    used_ += count;
  }
  void Repeat(char c, size_t count) {
    PutRepeated(c, count,
                [this](const char* from, size_t size) { Plain(from, size); });
  }
  void Bytes(const char* from, size_t count) {
    while (count > 0) {
      size_t part = std::min(count, kWordSize);
      if (kBufferSize - used_ < kMaxWordEscaped) Flush();
      PutSink put{buffer_ + used_};
      put.Bytes(from, part);
      used_ = static_cast<size_t>(put.at - buffer_);
      from += part;
      count -= part;
    }
  }
  // Appends what the buffer holds; the last call.
  void Flush() {
    if (used_ == 0) return;
    out_->append(buffer_, used_);
    used_ = 0;
  }

 private:
  // The most a word escaped byte by byte writes, slack included.
  static constexpr size_t kMaxWordEscaped = 64;
  static_assert(kMaxWordEscaped >=
                (kWordSize - 1) * kLongestEscape + kEscapeSlack);
  static constexpr size_t kBufferSize = 4096;
  static constexpr size_t kDirectSize = 1024;

  std::string* out_;
  size_t used_ = 0;
  char buffer_[kBufferSize];
};

size_t EscapedSize(std::string_view text) {
  SizeSink sink;
  Escape(text, sink);
  return sink.size;
}

char* PutEscaped(std::string_view text, char* at) {
  PutSink sink{at};
  Escape(text, sink);
  return sink.at;
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
  AppendSink sink(out);
  Escape(text, sink);
  sink.Flush();
}

}  // namespace tevgen
