#include "app/display_name.h"

#include <cstdint>

namespace tevgen {
namespace {

// The length of the valid UTF-8 sequence at the start of `text`, or 0.
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

bool IsControl(uint32_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); }

// Calls `piece(bytes, is_control)` for each character of `name`: a valid
// UTF-8 sequence, or a single byte.
template <typename Piece>
void ForEachCharacter(std::string_view name, const Piece& piece) {
  while (!name.empty()) {
    uint32_t code_point = static_cast<unsigned char>(name[0]);
    size_t length =
        code_point < 0x80 ? 1 : Utf8SequenceLength(name, &code_point);
    if (length == 0) length = 1;  // A stray byte stands for itself.
    piece(name.substr(0, length), IsControl(code_point));
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
  ForEachCharacter(name, [&](std::string_view, bool is_control) {
    needs_quotes |= is_control;
  });
  if (!needs_quotes) return std::string(name);

  std::string out = "\"";
  ForEachCharacter(name, [&](std::string_view bytes, bool is_control) {
    if (is_control) {
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
