#include "app/display_name.h"

#include <cstdint>

namespace tevgen {

size_t Utf8SequenceLength(std::string_view text, uint32_t* code_point) {
  auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  unsigned char lead = byte(0);
  size_t length = lead < 0xC2 ? 0 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
  if (length == 0 || lead > 0xF4 || text.size() < length) return 0;
  uint32_t value = lead & (0x7F >> length);
  for (size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    value = (value << 6) | (byte(i) & 0x3F);
  }
  // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
  constexpr uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (value < kSmallest[length] || (value >= 0xD800 && value <= 0xDFFF) ||
      value > 0x10FFFF) {
    return 0;
  }
  *code_point = value;
  return length;
}

namespace {

// Characters that act on the terminal or on how the line reads: C0, DEL
// and C1 controls; the line and paragraph separators, which end a line; the
// marks that turn the direction of the text around them, with which a name
// can make the rest of a message read backwards; and characters a terminal
// shows as nothing, with which two names look alike ("7\u200B.svg" and
// "7.svg"): zero-width spaces and joiners, the word joiner and invisible
// operators, the byte-order mark, the soft hyphen, fillers and the tags:
// what Unicode calls default ignorable (but for the variation selectors,
// IsCombining), and the interlinear annotation marks.
bool IsUnsafe(uint32_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x00AD || c == 0x061C ||
         c == 0x115F || c == 0x1160 || c == 0x17B4 || c == 0x17B5 ||
         (c >= 0x180B && c <= 0x180F) || (c >= 0x200B && c <= 0x200F) ||
         (c >= 0x2028 && c <= 0x202E) || (c >= 0x2060 && c <= 0x206F) ||
         c == 0x3164 || c == 0xFEFF || c == 0xFFA0 ||
         (c >= 0xFFF0 && c <= 0xFFFB) || (c >= 0x1BCA0 && c <= 0x1BCA3) ||
         (c >= 0x1D173 && c <= 0x1D17A) ||
         (c >= 0xE0000 && c <= 0xE0FFF && !(c >= 0xE0100 && c <= 0xE01EF));
}

// Marks that combine with the character before them: drawn over it, they
// change how it reads ("1\u0338" looks like a struck-out one). After a
// letter they are how many names are spelled (decomposed accents), so they
// are unsafe only where nothing of a script stands before them: first in
// the name, after an ASCII digit, punctuation or space, or after a
// character shown escaped.
bool IsCombining(uint32_t c) {
  return (c >= 0x0300 && c <= 0x036F) || (c >= 0x1AB0 && c <= 0x1AFF) ||
         (c >= 0x1DC0 && c <= 0x1DFF) || (c >= 0x20D0 && c <= 0x20FF) ||
         (c >= 0xFE00 && c <= 0xFE0F) || (c >= 0xFE20 && c <= 0xFE2F) ||
         (c >= 0xE0100 && c <= 0xE01EF);
}

bool IsAsciiLetter(uint32_t c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Calls `piece(bytes, is_unsafe)` for each character of `name`: a valid
// UTF-8 sequence, or a single byte. A byte that does not begin valid UTF-8
// is unsafe: a terminal would show it as it pleases.
template <typename Piece>
void ForEachCharacter(std::string_view name, const Piece& piece) {
  bool after_ascii_non_letter = true;  // the start counts as one
  while (!name.empty()) {
    uint32_t code_point = static_cast<unsigned char>(name[0]);
    size_t length =
        code_point < 0x80 ? 1 : Utf8SequenceLength(name, &code_point);
    bool unsafe = length == 0 || IsUnsafe(code_point) ||
                  (after_ascii_non_letter && IsCombining(code_point));
    // An escaped character ends in an ASCII digit, too.
    after_ascii_non_letter =
        unsafe || (code_point < 0x80 && !IsAsciiLetter(code_point));
    if (length == 0) length = 1;
    piece(name.substr(0, length), unsafe);
    name.remove_prefix(length);
  }
}

void AppendEscapedByte(unsigned char c, std::string* out) {
  static constexpr char kShort[] = "abtnvfr";  // \a (7) to \r (13)
  *out += '\\';
  if (c >= 7 && c <= 13) {
    *out += kShort[c - 7];
  } else {
    *out += static_cast<char>('0' + (c >> 6));
    *out += static_cast<char>('0' + ((c >> 3) & 7));
    *out += static_cast<char>('0' + (c & 7));
  }
}

}  // namespace

std::string DisplayName(std::string_view name) {
  bool needs_quotes = false;
  ForEachCharacter(name, [&](std::string_view, bool is_unsafe) {
    needs_quotes |= is_unsafe;
  });
  if (!needs_quotes) return std::string(name);
  return QuotedName(name);
}

std::string QuotedName(std::string_view name) {
  std::string out = "\"";
  ForEachCharacter(name, [&](std::string_view bytes, bool is_unsafe) {
    if (is_unsafe) {
      for (char c : bytes)
        AppendEscapedByte(static_cast<unsigned char>(c), &out);
    } else if (bytes == "\"" || bytes == "\\") {
      out += '\\';
      out += bytes;
    } else {
      out += bytes;
    }
  });
  out += '"';
  return out;
}

}  // namespace tevgen
