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

void Sleep(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::string Image(int width) {
  return "<svg width=\"" + std::to_string(width) + ".5\" height=\"7.5\"/>";
}

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

// Public, so that the cases' steps reach it.
class WatchTest : public testing::ProgramFolderTest {
 public:
  using ProgramFolderTest::AddImage;
  using ProgramFolderTest::elsewhere_;
  using ProgramFolderTest::images_;

  WatchTest() { Reset(); }
  ~WatchTest() override { ::close(events_); }

  // The folder as each case begins: the program and two images.
  void Reset() {
    if (!fs::exists(program())) {  // the folder was removed
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

  // Counts the catalogue's replacements (runs) and staged files so far.
  void Count() {
    alignas(inotify_event) char buffer[64 * 1024];
    ssize_t length;
    while ((length = ::read(events_, buffer, sizeof buffer)) > 0) {
      for (char* at = buffer; at < buffer + length;) {
        const auto* event = reinterpret_cast<const inotify_event*>(at);
        at += sizeof(inotify_event) + event->len;
        std::string name = event->len > 0 ? event->name : "";
        runs_ += (event->mask & IN_MOVED_TO) && name == "tev.xml";
        staged_ += (event->mask & IN_CREATE) && name.starts_with(".tev.xml.");
      }
    }
  }
  // Waits (30 s at most) until a run has replaced the catalogue and none
  // followed for 1.5 s.
  void Settle() {
    for (int i = 0, quiet = 0, runs = runs_; i < 1500 && quiet < 75; ++i) {
      Sleep(20);
      Count();
      quiet = (runs_ > 0 && runs_ == runs) ? quiet + 1 : 0;
      runs = runs_;
    }
  }
  // Waits (20 s at most) until a run has staged its catalogue, that is
  // after it listed the folder.
  bool RunUnderWay() {
    int before = staged_;
    for (int i = 0; i < 1000 && staged_ == before; ++i, Sleep(20)) Count();
    return staged_ > before;
  }

  int events_ = -1;
  int runs_ = 0;
  int staged_ = 0;
};

TEST_F(WatchTest, KeepsTheCatalogueCurrent) {
  const struct {
    const char* what;
    std::function<void(WatchTest&)> change;
    int most_runs;    // after the first; -1: the change ends the watch
    std::string err;  // after "tevgen: <folder>"
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
       ": the file name is not an image number (only digits may "
       "stand before \".svg\")\n"},
      {"the folder removed",
       [](WatchTest& t) { fs::remove_all(t.images_.path()); }, -1,
       ": the folder was removed or renamed; the watch ends\n"},
      {"the folder renamed",
       [](WatchTest& t) {
         fs::rename(t.images_.path(), t.elsewhere_ / "moved");
       },
       -1, ": the folder was removed or renamed; the watch ends\n"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    WatchTest& t = *this;
    Reset();
    Watching watch(CommandLine({"--watch", Shown(folder())}),
                   elsewhere_.path());
    Settle();
    int first_runs = runs_;
    c.change(t);
    bool ends = c.most_runs < 0;
    if (!ends) {
      Settle();
      watch.Kill(SIGTERM);
    }
    Outcome outcome = watch.Wait();
    EXPECT_EQ(outcome.exit_status, ends ? 1 : 128 + SIGTERM);
    EXPECT_EQ(first_runs, 1);
    EXPECT_LE(runs_ - first_runs, std::max(c.most_runs, 0));
    std::string shown = Shown(ends ? folder() : images_ / "logo.svg");
    EXPECT_EQ(outcome.err, c.err.empty() ? "" : "tevgen: " + shown + c.err);
    if (ends) continue;
    // The catalogue is what a one-shot run writes now.
    std::string watched = ReadBytes(catalogue());
    EXPECT_EQ(StartWith({Shown(folder())}).exit_status, 0);
    EXPECT_EQ(watched, ReadBytes(catalogue()));
  }
}

// SIGTERM ends the watch at once on Linux; Ctrl+C (SIGINT, as Wine
// delivers it) ends it after the run on Windows. Neither leaves anything.
TEST_F(WatchTest, StopDuringARunLeavesNothing) {
  for (int i = 0; i < 3000; ++i) {
    AddImage(std::to_string(i) + ".svg", Image(i));
  }
  Watching watch(CommandLine({"--watch", Shown(folder())}), elsewhere_.path());
  ASSERT_TRUE(RunUnderWay());
  bool windows = Program().windows();
  watch.Kill(windows ? SIGINT : SIGTERM);
  Outcome outcome = watch.Wait();
  EXPECT_EQ(outcome.exit_status, windows ? 0 : 128 + SIGTERM);
  EXPECT_EQ(outcome.err, "");
  EXPECT_EQ(FolderListing(images_.path()).find(".tev.xml."), std::string::npos);
}

// A file given as the folder ends the watch at once, on every system
// (on Windows it used to wait for ever on the file's handle).
TEST_F(WatchTest, AFileGivenAsTheFolderIsNotWatched) {
  AddImage("0042.svg", Image(1));
  std::string file = Shown(images_ / "0042.svg");
  Outcome outcome =
      Watching(CommandLine({"--watch", file}), elsewhere_.path()).Wait();
  EXPECT_EQ(outcome.exit_status, 1);
  EXPECT_EQ(
      outcome.err.rfind("tevgen: " + file + ": cannot watch the folder: ", 0),
      0u)
      << outcome.err;
}

// A missing folder ends the watch at once, with the system's words of a
// one-shot run, as every message is written (on Windows: the console's code
// page and CR LF when redirected, which Outcome reads).
TEST_F(WatchTest, AMissingFolderIsSaidAsARunSaysIt) {
  if (!Program().windows()) {
    GTEST_SKIP() << "on Linux the watch and a run take the system's words "
                    "from one function";
  }
  const struct {
    std::string lang;
    std::string_view run;
    std::string_view watch;
  } kCases[] = {
      {"en_US.UTF-8", "cannot list the folder", "cannot watch the folder"},
      {"de_DE.UTF-8", "der Ordner l\xC3\xA4sst sich nicht auflisten",
       "der Ordner l\xC3\xA4sst sich nicht \xC3\xBC"
       "berwachen"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.lang);
    auto err_of = [&](const std::vector<std::string>& args) {
      std::vector<std::string> argv = {"env", "LC_ALL=" + c.lang};
      for (const std::string& arg : CommandLine(args)) argv.push_back(arg);
      Outcome outcome = Watching(argv, elsewhere_.path()).Wait();
      EXPECT_EQ(outcome.exit_status, 1);
      return outcome.err;
    };
    std::string run = err_of({"no-such-folder"});
    std::string watch = err_of({"--watch", "no-such-folder"});
    ASSERT_EQ(run.find(c.run), 24u) << run;  // after "tevgen: no-such-folder: "
    EXPECT_EQ(watch, run.replace(24, c.run.size(), c.watch));
  }
}

}  // namespace
}  // namespace tevgen
