#include "textfile/text_readers.h"

#include <array>

namespace tevgen {

std::string ReadWholeFile(Env& env, const std::string& path) {
  std::unique_ptr<RandomAccessFile> file = env.OpenFile(path);
  if (file == nullptr) return "";
  // One buffer of the file's length when it was opened, filled from the
  // start.
  std::string text(static_cast<size_t>(file->Size()), '\0');
  size_t filled = 0;
  while (filled < text.size()) {
    size_t count =
        file->ReadAt(filled, text.data() + filled, text.size() - filled);
    if (count == 0) break;  // The file shrank since it was opened.
    filled += count;
  }
  text.resize(filled);
  return text;
}

std::string ReadNumberedLine(Env& env, const std::string& path,
                             int32_t line_number) {
  std::unique_ptr<RandomAccessFile> file = env.OpenFile(path);
  if (file == nullptr || line_number < 1) return "";

  std::array<char, 64 * 1024> buffer;
  std::string line;
  int32_t lines_started = 0;  // Never passes line_number, so cannot overflow.
  bool in_line = false;       // Some byte of the current line has been seen.
  bool after_cr = false;      // The previous byte ended a line with CR.
  for (uint64_t offset = 0;;) {
    size_t count = file->ReadAt(offset, buffer.data(), buffer.size());
    if (count == 0) break;
    offset += count;
    for (size_t i = 0; i < count; ++i) {
      char c = buffer[i];
      if (after_cr) {
        after_cr = false;
        if (c == '\n') continue;  // The LF of a CR LF pair.
      }
      if (!in_line) {
        ++lines_started;
        line.clear();
        in_line = true;
      }
      if (c == '\r' || c == '\n') {
        in_line = false;
        after_cr = c == '\r';
        if (lines_started == line_number) return line;
        continue;
      }
      if (lines_started == line_number) line += c;
    }
  }
  return lines_started == line_number ? line : "";
}

}  // namespace tevgen
