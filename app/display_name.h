// DisplayName makes a file name, folder name or argument safe to print in a
// one-line message. Names come from whoever filled the folder; printed raw,
// a line feed would split the message and an escape sequence would act on
// the user's terminal (clear it, retitle the window).
//
// A name of valid UTF-8 without unsafe characters is returned unchanged, so
// ordinary and non-ASCII names stay readable. Otherwise it is put in double
// quotes with C escapes: \n \t \r and the like, \" and \\, and octal
// (\033, \342\200\256) for the bytes of the rest. Unsafe are C0 (below 0x20),
// DEL and C1 (0x80 to 0x9F) controls, whether raw or UTF-8 encoded; the line
// and paragraph separators U+2028 and U+2029; the direction marks and
// overrides (U+061C, U+200E, U+200F, U+202A to U+202E, U+2066 to U+2069);
// what a terminal shows as nothing (U+200B to U+200D, U+2060 to U+206F,
// the byte-order mark U+FEFF, the soft hyphen, fillers, the tags U+E0000
// to U+E007F); combining marks and variation selectors that stand first or
// after an ASCII digit, punctuation or space (U+0338 over a "1"); and every
// byte that is not part of valid UTF-8.
#ifndef TEVGEN_APP_DISPLAY_NAME_H_
#define TEVGEN_APP_DISPLAY_NAME_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tevgen {

std::string DisplayName(std::string_view name);

// The length of the valid UTF-8 sequence at the start of `text` (not
// empty), with its code point in `*code_point`; 0 where it begins none
// (overlong forms and surrogates are not UTF-8).
size_t Utf8SequenceLength(std::string_view text, uint32_t* code_point);

// `name` always in double quotes, escaped as DisplayName escapes: for text
// whose bounds the reader must see (a value with blanks or quotes in it).
std::string QuotedName(std::string_view name);

}  // namespace tevgen

#endif  // TEVGEN_APP_DISPLAY_NAME_H_
