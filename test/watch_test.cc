// End-to-end tests of the watch: the program is started with --watch as a
// service starts it, the folder is changed as people and uploads change
// it, and the catalogue must become, byte for byte, what a one-shot run
// over the same images writes. Runs are counted by the catalogue's
// replacements, seen through inotify.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "test/program_fixture.h"
#include "test/test_util.h"
#include "test/unprivileged.h"

namespace tevgen {
namespace {

namespace fs = std::filesystem;
using testing::ChildProcess;
using testing::FolderListing;
using testing::Outcome;
using testing::ReadBytes;
using testing::TempDir;
using testing::WriteBytes;

void Sleep(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::string Image(int width) {
  return "<svg width=\"" + std::to_string(width) + ".5\" height=\"7.5\"/>";
}

// Public, so that the cases' steps reach it.
// A watch that is ended however its case ends.
class Watching : public ChildProcess {
 public:
  using ChildProcess::ChildProcess;
  ~Watching() {
    if (!waited_) Kill(SIGKILL);
  }
  Outcome Wait() {
    waited_ = true;
    return ChildProcess::Wait();
  }

 private:
  bool waited_ = false;
};

class WatchTest : public testing::ProgramFolderTest {
 public:
  using ProgramFolderTest::AddImage;
  using ProgramFolderTest::images_;

  WatchTest() { Reset(); }
  ~WatchTest() override { ::close(events_); }

  // The folder as each case begins: the program and two images.
  void Reset() {
    if (!fs::exists(program())) {
      fs::create_directory(images_.path());
      testing::OpenToEveryone(images_.path());
      fs::copy_file(Program().path, program());
    }
    for (const auto& entry : fs::directory_iterator(images_.path())) {
      if (entry.path() != program()) fs::remove(entry.path());
    }
    if (events_ >= 0) ::close(events_);
    events_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ::inotify_add_watch(events_, folder().c_str(), IN_MOVED_TO | IN_CREATE);
    runs_ = staged_ = 0;
    AddImage("0042.svg", Image(1));
    AddImage("1234.svg", Image(2));
  }

  // What a one-shot run over the folder's images writes now.
  std::string Expected() {
    for (const auto& entry : fs::directory_iterator(images_.path())) {
      if (entry.path().extension() == ".svg") {
        fs::copy_file(entry.path(), scratch_.path() / entry.path().filename(),
                      fs::copy_options::overwrite_existing);
      }
    }
    for (const auto& entry : fs::directory_iterator(scratch_.path())) {
      if (!fs::exists(images_.path() / entry.path().filename())) {
        fs::remove(entry.path());
      }
    }
    Outcome outcome = testing::RunProgram(
        CommandLine({Shown(scratch_.path().string())}), elsewhere_.path());
    EXPECT_EQ(outcome.exit_status, 0) << outcome.err;
    return ReadBytes(scratch_ / "tev.xml");
  }

  // Waits (20 s at most) until the catalogue is what a one-shot run
  // writes; false when it never became that.
  bool BecomesCurrent() {
    std::string expected = Expected();
    for (int i = 0; i < 1000; ++i) {
      if (ReadBytes(catalogue()) == expected) return true;
      Sleep(20);
    }
    return false;
  }

  // Counts the catalogue's replacements and staged files seen so far.
  void Count() {
    alignas(inotify_event) char buffer[64 * 1024];
    ssize_t length;
    while ((length = ::read(events_, buffer, sizeof buffer)) > 0) {
      for (char* at = buffer; at < buffer + length;) {
        const auto* event = reinterpret_cast<const inotify_event*>(at);
        at += sizeof(inotify_event) + event->len;
        std::string name = event->len > 0 ? event->name : "";
        if ((event->mask & IN_MOVED_TO) && name == "tev.xml") ++runs_;
        if ((event->mask & IN_CREATE) && name.starts_with(".tev.xml.")) {
          ++staged_;
        }
      }
    }
  }
  // Waits (20 s at most) until a run has staged its catalogue, that is
  // after it listed the folder.
  bool RunUnderWay() {
    int before = staged_;
    for (int i = 0; i < 1000 && staged_ == before; ++i, Sleep(20)) Count();
    return staged_ > before;
  }

  TempDir scratch_;
  int events_ = -1;
  int runs_ = 0;
  int staged_ = 0;
};

TEST_F(WatchTest, KeepsTheCatalogueCurrent) {
  const struct {
    const char* what;
    std::function<void(WatchTest&)> change;
    int most_runs;  // after the first
    std::string err;
  } kCases[] = {
      {"the first catalogue at start", [](WatchTest&) {}, 0, ""},
      {"an image added", [](WatchTest& t) { t.AddImage("0007.svg", Image(3)); },
       1, ""},
      {"an image changed",
       [](WatchTest& t) { t.AddImage("0042.svg", Image(4)); }, 1, ""},
      {"an image removed",
       [](WatchTest& t) { fs::remove(t.images_.path() / "0042.svg"); }, 1, ""},
      {"an image renamed",
       [](WatchTest& t) {
         fs::rename(t.images_.path() / "0042.svg",
                    t.images_.path() / "0043.svg");
       },
       1, ""},
      {"a trickle of 20 images, 0.2 s apart",
       [](WatchTest& t) {
         for (int i = 0; i < 20; ++i, Sleep(200)) {
           t.AddImage(std::to_string(100 + i) + ".svg", Image(i));
         }
       },
       20, ""},
      {"a burst of 1,000 images",
       [](WatchTest& t) {
         for (int i = 0; i < 1000; ++i) {
           t.AddImage(std::to_string(2000 + i) + ".svg", Image(i));
         }
       },
       4, ""},
      {"a change during a run is caught by the next run",
       [](WatchTest& t) {
         t.AddImage("0007.svg", Image(3));
         ASSERT_TRUE(t.RunUnderWay());
         t.AddImage("0008.svg", Image(5));
       },
       3, ""},
      {"a bad image, then mended",
       [](WatchTest& t) {
         t.AddImage("logo.svg", Image(3));
         ASSERT_TRUE(t.RunUnderWay());
         Sleep(200);
         fs::rename(t.images_.path() / "logo.svg",
                    t.images_.path() / "0005.svg");
       },
       2,
       ": the file name is not an image number (only digits may stand "
       "before \".svg\")\n"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    WatchTest& t = *this;
    Reset();
    Watching watch(CommandLine({"--watch", Shown(folder())}),
                   elsewhere_.path());
    ASSERT_TRUE(t.BecomesCurrent());
    t.Count();
    int first_runs = t.runs_;
    c.change(t);
    EXPECT_TRUE(t.BecomesCurrent());
    Sleep(500);  // a run too many would come within this
    t.Count();
    EXPECT_GE(first_runs, 1);
    EXPECT_LE(t.runs_ - first_runs, c.most_runs);
    watch.Kill(SIGTERM);
    Outcome outcome = watch.Wait();
    EXPECT_EQ(outcome.exit_status, 128 + SIGTERM);
    if (c.err.empty()) {
      EXPECT_EQ(outcome.err, "");
    } else {
      EXPECT_EQ(outcome.err, "tevgen: " + Shown(images_ / "logo.svg") + c.err);
    }
  }
}

TEST_F(WatchTest, EndsWhenTheFolderGoes) {
  for (bool renamed : {false, true}) {
    SCOPED_TRACE(renamed ? "renamed" : "removed");
    WatchTest& t = *this;
    Reset();
    Watching watch(CommandLine({"--watch", Shown(folder())}),
                   elsewhere_.path());
    ASSERT_TRUE(t.BecomesCurrent());
    fs::path moved = t.scratch_.path() / "moved";
    if (renamed) {
      fs::rename(t.images_.path(), moved);
    } else {
      fs::remove_all(t.images_.path());
    }
    Outcome outcome = watch.Wait();
    EXPECT_EQ(outcome.exit_status, 1);
    EXPECT_EQ(outcome.err,
              "tevgen: " + Shown(folder()) +
                  ": the folder was removed or renamed; the watch ends\n");
    if (renamed) fs::rename(moved, t.images_.path());
  }
}

TEST_F(WatchTest, StopSignalDuringARunLeavesNothing) {
  SKIP_ON_WINDOWS("Windows has no SIGTERM");
  for (int i = 0; i < 3000; ++i) {
    AddImage(std::to_string(i) + ".svg", Image(i));
  }
  Watching watch(CommandLine({"--watch", Shown(folder())}), elsewhere_.path());
  ASSERT_TRUE(RunUnderWay());
  std::string listing = FolderListing(images_.path());
  watch.Kill(SIGTERM);
  EXPECT_EQ(watch.Wait().exit_status, 128 + SIGTERM);
  std::string after = FolderListing(images_.path());
  EXPECT_EQ(after.find("\n."), std::string::npos) << after;
  EXPECT_EQ(after.find(".tev.xml."), std::string::npos) << after;
}

}  // namespace
}  // namespace tevgen
