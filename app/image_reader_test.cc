#include "app/image_reader.h"

#include <gtest/gtest.h>

#include "platform/memory_env.h"

namespace tevgen {
namespace {

// A thread whose files others may not use (keep_files false) leaves an
// image whose size stays open for copying to the consumer, which reads it
// again itself.
TEST(ImageReaderTest, OnlyTheConsumerKeepsAnImageOpen) {
  const std::string long_width(ImageReader::kValueInMemoryLimit + 1, 'x');
  const struct {
    std::string text;
    bool keep_files;
    bool read_again;
    bool kept_open;
  } kCases[] = {
      {"<svg width=\"3.5\">", false, false, false},
      {"<svg width=\"" + long_width + ".5\">", false, true, false},
      {"<svg width=\"" + long_width + ".5\">", true, false, true},
  };
  for (const auto& c : kCases) {
    MemoryEnv env;
    env.AddDirectory("/pics");
    env.AddFile("/pics/1.svg", c.text);
    std::unique_ptr<Folder> folder = env.OpenFolder("/pics");
    ImageReader reader(env, *folder, "/pics");
    ImageRecord image;
    reader.Read("1.svg", &image, c.keep_files);
    EXPECT_EQ(image.read_again, c.read_again);
    EXPECT_EQ(image.file != nullptr, c.kept_open);
    reader.ReadAgainIfChanged("1.svg", &image);
    EXPECT_EQ(image.record.number, "1");
    // The consumer keeps open what a thread left to it.
    EXPECT_EQ(image.file != nullptr, c.kept_open || c.read_again);
  }
}

// A reader alone is not timed: its latency, which nothing could use, is
// zero, and the image is read all the same.
TEST(ImageReaderTest, AnUntimedReadReportsNoLatency) {
  MemoryEnv env;
  env.AddDirectory("/pics");
  env.AddFile("/pics/7.svg", "<svg width=\"3.5\" height=\"4.5\">");
  std::unique_ptr<Folder> folder = env.OpenFolder("/pics");
  ImageReader reader(env, *folder, "/pics");
  ImageRecord image;
  EXPECT_EQ(reader.Read("7.svg", &image, true, false).count(), 0);
  EXPECT_EQ(image.record.number, "7");
  EXPECT_EQ(image.record.width, "3");
  EXPECT_EQ(image.record.height, "4");
}

// The system sets an image's times when a write begins: a read that began
// soon after a change may have met the write under way.
TEST(ImageReaderTest, ReadsSoonAfterAChangeMayHaveMetAWrite) {
  using std::chrono::milliseconds;
  const auto began = std::chrono::system_clock::now();
  const auto settle = ImageReader::kSettleTime;
  const struct {
    std::chrono::system_clock::duration changed;  // before `began`
    bool may_have_met;
  } kCases[] = {
      {settle + milliseconds(1), false},
      {settle - milliseconds(1), true},
      {milliseconds(0), true},
      // Changed after the read began: a write that began meanwhile.
      {-milliseconds(5), true},
      // Another clock's time (a share's server ahead of ours).
      {-settle - milliseconds(1), false},
      {-std::chrono::hours(24), false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::chrono::duration_cast<milliseconds>(c.changed).count());
    EXPECT_EQ(ImageReader::MayHaveMetAWrite(began - c.changed, began),
              c.may_have_met);
  }
}

}  // namespace
}  // namespace tevgen
