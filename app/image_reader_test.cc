#include "app/image_reader.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/memory_env.h"

namespace tevgen {
namespace {

// A thread whose files others may not use (keep_files false) leaves an
// image with a size too long to keep in memory to the consumer, which
// reads it again and keeps it open for the copy.
TEST(ImageReaderTest, OnlyTheConsumerKeepsAnImageOpen) {
  const std::string long_value(ImageReader::kValueInMemoryLimit + 1, 'x');
  const struct {
    const char* label;
    std::string text;
    bool keep_files;
    bool read_again;
    bool open;
  } kCases[] = {
      {"short sizes, thread", "<svg width=\"3.5\" height=\"4.5\">", false,
       false, false},
      {"short sizes, consumer", "<svg width=\"3.5\" height=\"4.5\">", true,
       false, false},
      {"long width, thread", "<svg width=\"" + long_value + ".5\">", false,
       true, false},
      {"long width, consumer", "<svg width=\"" + long_value + ".5\">", true,
       false, true},
      {"long height without its dot, thread",
       "<svg height=\"" + long_value + "\">", false, false, false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.label);
    MemoryEnv env;
    env.AddDirectory("/pics");
    env.AddFile("/pics/1.svg", c.text);
    std::unique_ptr<Folder> folder = env.OpenFolder("/pics");
    ImageReader reader(env, *folder, "/pics");
    ImageRecord image;
    reader.Read("1.svg", &image, c.keep_files);
    EXPECT_FALSE(image.error);
    EXPECT_EQ(image.read_again, c.read_again);
    EXPECT_EQ(image.file != nullptr, c.open);
    reader.ReadAgainIfChanged("1.svg", &image);
    EXPECT_FALSE(image.read_again);
    EXPECT_EQ(image.record.number, "1");
    EXPECT_EQ(image.file != nullptr, c.open || c.read_again);
  }
}

}  // namespace
}  // namespace tevgen
