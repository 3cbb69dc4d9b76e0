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
// and C1 controls; the line and paragraph separators, which end a line; and
// the marks that turn the direction of the text around them, with which a
// name can make the rest of a message read backwards.
bool IsUnsafe(uint32_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x061C || c == 0x200E ||
         c == 0x200F || (c >= 0x2028 && c <= 0x202E) ||
         (c >= 0x2066 && c <= 0x2069);
}

// Calls `piece(bytes, is_unsafe)` for each character of `name`: a valid
// UTF-8 sequence, or a single byte. A byte that does not begin valid UTF-8
// is unsafe: a terminal would show it as it pleases.
template <typename Piece>
void ForEachCharacter(std::string_view name, const Piece& piece) {
  while (!name.empty()) {
    uint32_t code_point = static_cast<unsigned char>(name[0]);
    size_t length =
        code_point < 0x80 ? 1 : Utf8SequenceLength(name, &code_point);
    bool unsafe = length == 0 || IsUnsafe(code_point);
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
