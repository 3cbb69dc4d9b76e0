// Reading text files by path. Text is bytes: every byte of the file is one
// character of the result (ISO-8859-1), nothing is translated. A path that
// names no ordinary file reads as empty text; that is not an error.
// A file that exists but cannot be opened or read throws Error; the file is
// closed on every path.
#ifndef TEVGEN_TEXTFILE_TEXT_READERS_H_
#define TEVGEN_TEXTFILE_TEXT_READERS_H_

#include <cstdint>
#include <string>

#include "platform/env.h"

namespace tevgen {

// The whole content of the file at `path`: as many bytes as it held when
// it was opened, fewer if it shrank while it was read.
std::string ReadWholeFile(Env& env, const std::string& path);

// Line `line_number` (1-based) of the file at `path`, without its line end;
// empty when the file has fewer lines or `line_number` is below 1. A line
// ends at CR, at CR LF or at a lone LF; a last line without a line end is
// still a line. Reading stops as soon as the wanted line has been read.
std::string ReadNumberedLine(Env& env, const std::string& path,
                             int32_t line_number);

}  // namespace tevgen

#endif  // TEVGEN_TEXTFILE_TEXT_READERS_H_
