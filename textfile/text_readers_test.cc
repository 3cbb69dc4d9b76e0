#include "textfile/text_readers.h"

#include <gtest/gtest.h>

#include "platform/fault_env.h"
#include "platform/memory_env.h"
#include "test/test_util.h"

namespace tevgen {
namespace {

using testing::TempDir;
using testing::WriteBytes;

TEST(ReadWholeFileTest, ReturnsTheBytesUntranslated) {
  TempDir dir;
  const struct {
    const char* label;
    std::string_view bytes;
  } kCases[] = {
      {"empty", ""},
      {"latin-1 and CR LF", "A\xE4\r\n"},
      {"NUL and high bytes", std::string_view("\0\x80\xFF\x1A", 4)},
      {"lone CR and LF", "a\rb\nc"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.label);
    WriteBytes(dir / "f.txt", c.bytes);
    EXPECT_EQ(ReadWholeFile(Env::Default(), dir / "f.txt"), c.bytes);
  }
}

TEST(ReadWholeFileTest, LargeFileIsReadWhole) {
  TempDir dir;
  std::string bytes(5 * 1024 * 1024 + 3, 'x');
  bytes[0] = 'a';
  bytes[bytes.size() - 1] = 'z';
  WriteBytes(dir / "big.svg", bytes);
  EXPECT_EQ(ReadWholeFile(Env::Default(), dir / "big.svg"), bytes);
}

TEST(ReadWholeFileTest, FilesOfAnySizeOneAfterAnother) {
  TempDir dir;
  const std::string kFiles[] = {std::string(70000, 'a'), "b", "",
                                std::string(100000, 'c'), "dd"};
  for (const std::string& bytes : kFiles) {
    SCOPED_TRACE(bytes.size());
    WriteBytes(dir / "f.svg", bytes);
    EXPECT_EQ(ReadWholeFile(Env::Default(), dir / "f.svg"), bytes);
  }
}

TEST(ReadWholeFileTest, WhatIsNoOrdinaryFileReadsAsEmpty) {
  TempDir dir;
  EXPECT_EQ(ReadWholeFile(Env::Default(), dir / "missing.svg"), "");
  EXPECT_EQ(ReadWholeFile(Env::Default(), dir.path().string()), "");
  EXPECT_EQ(ReadWholeFile(Env::Default(), dir / "missing/deeper.svg"), "");
}

struct LineCase {
  const char* label;
  std::string_view bytes;
  int32_t line_number;
  std::string_view line;
};

const LineCase kLineCases[] = {
    {"first of CR LF lines", "a\r\nb\r\n", 1, "a"},
    {"second of CR LF lines", "a\r\nb\r\n", 2, "b"},
    {"beyond the last line", "a\r\nb\r\n", 3, ""},
    {"line zero", "a\r\nb\r\n", 0, ""},
    {"negative line", "a\r\nb\r\n", -1, ""},
    {"lowest line number", "a\r\nb\r\n", -2147483647 - 1, ""},
    {"highest line number", "a\r\nb\r\n", 2147483647, ""},
    {"last line without line end", "a\r\nb", 2, "b"},
    {"empty line", "a\r\n\r\nc", 2, ""},
    {"line after an empty line", "a\r\n\r\nc", 3, "c"},
    {"lone CR ends a line", "a\rb\rc", 2, "b"},
    {"lone LF ends a line", "a\nb\nc", 3, "c"},
    {"LF CR is two line ends", "a\n\rb", 2, ""},
    {"LF CR is two line ends, then the line", "a\n\rb", 3, "b"},
    {"CR CR LF is an empty line", "a\r\r\nb", 2, ""},
    {"empty file", "", 1, ""},
    {"only a line end", "\r\n", 1, ""},
    {"only a line end, line 2", "\r\n", 2, ""},
    {"bytes kept", "\xE4\x01\t\r\n", 1, "\xE4\x01\t"},
};

TEST(ReadNumberedLineTest, FromDisk) {
  TempDir dir;
  for (const LineCase& c : kLineCases) {
    SCOPED_TRACE(c.label);
    WriteBytes(dir / "f.txt", c.bytes);
    EXPECT_EQ(ReadNumberedLine(Env::Default(), dir / "f.txt", c.line_number),
              c.line);
  }
}

TEST(ReadNumberedLineTest, LineEndsSplitAcrossReads) {
  // One byte per read: a CR LF pair split between two reads is still one
  // line end.
  for (size_t chunk : {1u, 2u, 3u}) {
    MemoryEnv files;
    FaultEnv env(files);
    env.ShortReads(chunk);
    for (const LineCase& c : kLineCases) {
      SCOPED_TRACE(std::string(c.label) + ", chunk " + std::to_string(chunk));
      files.AddFile("/f.txt", std::string(c.bytes));
      EXPECT_EQ(ReadNumberedLine(env, "/f.txt", c.line_number), c.line);
    }
  }
}

TEST(ReadNumberedLineTest, LongLinesAcrossTheBuffer) {
  TempDir dir;
  std::string first(100000, 'a');
  std::string second(70000, 'b');
  WriteBytes(dir / "f.txt", first + "\r\n" + second + "\r\n");
  EXPECT_EQ(ReadNumberedLine(Env::Default(), dir / "f.txt", 1), first);
  EXPECT_EQ(ReadNumberedLine(Env::Default(), dir / "f.txt", 2), second);
}

TEST(ReadNumberedLineTest, MissingFileReadsAsEmpty) {
  TempDir dir;
  EXPECT_EQ(ReadNumberedLine(Env::Default(), dir / "missing.txt", 1), "");
  EXPECT_EQ(ReadNumberedLine(Env::Default(), dir.path().string(), 1), "");
}

}  // namespace
}  // namespace tevgen
