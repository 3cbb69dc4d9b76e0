// End-to-end tests of the watch: the program is started with --watch as a
// service starts it, the folder is changed as people and uploads change
// it, and the catalogue must become, byte for byte, what a one-shot run
// over the same images writes. Runs are counted by the catalogue's
// replacements, seen through inotify.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
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
  using ProgramFolderTest::folder;
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
    runs_ = staged_ = moved_ = 0;
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
        moved_ += (event->mask & IN_MOVED_TO) != 0;
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

  bool windows() const { return Program().windows(); }

  int events_ = -1;
  int runs_ = 0;
  int staged_ = 0;
  int moved_ = 0;  // names moved in: a run's catalogue, wherever it went
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
      {"a tev.xml that links to an image starts no run by its own writing",
       [](WatchTest& t) {
         if (t.windows()) return;  // links need a privilege there
         // An uploader's link to the uploader's own image in the
         // uploader's folder: followed.
         fs::path image = t.images_.path() / "0042.svg";
         fs::path link = t.images_.path() / "tev.xml";
         fs::remove(link);
         fs::create_symlink("0042.svg", link);
         fs::permissions(t.folder(), fs::perms(0755));
         if (::geteuid() == 0) {
           ASSERT_EQ(::chown(t.folder().c_str(), 65534, 65534), 0);
           ASSERT_EQ(::lchown(image.c_str(), 65534, 65534), 0);
           ASSERT_EQ(::lchown(link.c_str(), 65534, 65534), 0);
         }
         t.AddImage("0007.svg", Image(3));
         Sleep(2000);  // the run the change starts, and what it starts
         t.Count();
         int moved = t.moved_;
         Sleep(2000);
         t.Count();
         EXPECT_EQ(t.moved_, moved) << "runs go on without a change";
         // As it was, so that the catalogue is compared as in every case.
         fs::remove(link);
         t.AddImage("0042.svg", Image(1));
       },
       1, ""},
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

// The names `depth` folders deep under `base`, made one at a time from an
// open folder, as a path longer than PATH_MAX can only be made.
std::string MakeDeep(const fs::path& base, int depth) {
  std::string name(200, 'd'), path;
  int at = ::open(base.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  for (int i = 0; i < depth; ++i) {
    ::mkdirat(at, name.c_str(), 0755);
    int next = ::openat(at, name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    ::close(at);
    at = next;
    path += (i ? "/" : "") + name;
  }
  ::close(at);
  return path;
}

// Whether `name` exists in the folder `path` (relative to `base`), the path
// walked a name at a time; waits 20 s at most.
bool AppearsDeep(const fs::path& base, const std::string& path,
                 const std::string& name) {
  for (int i = 0; i < 1000; ++i, Sleep(20)) {
    int at = ::open(base.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    for (size_t begin = 0; at >= 0 && begin < path.size();) {
      size_t end = std::min(path.find('/', begin), path.size());
      int next = ::openat(at, path.substr(begin, end - begin).c_str(),
                          O_PATH | O_DIRECTORY | O_CLOEXEC);
      ::close(at);
      at = next;
      begin = end + 1;
    }
    bool there = at >= 0 && ::faccessat(at, name.c_str(), F_OK, 0) == 0;
    if (at >= 0) ::close(at);
    if (there) return true;
  }
  return false;
}

// The watch follows the folder the path named when it began: a folder or
// link on the way changed ends it rather than leaving it waiting on one
// folder while its runs catalogue another; a folder not made yet is waited
// for; a path longer than PATH_MAX is watched as a run reads it.
TEST_F(WatchTest, FollowsTheFolderItBeganWith) {
  SKIP_ON_WINDOWS("the folders on the way are watched on Linux");
  const fs::path base = elsewhere_.path();
  const std::string svg = Image(1);
  const struct {
    const char* what;
    std::function<std::string()> make;  // the path to watch, from base
    std::function<void(const std::string&)> change;
    std::string err;  // after "tevgen: <path>"; "": the watch goes on
  } kCases[] = {
      {"a folder on the way renamed, another made in its place",
       [&] {
         fs::create_directories(base / "Q/P/clip");
         return "Q/P/clip";
       },
       [&](const std::string&) {
         fs::rename(base / "Q/P", base / "Q/P2");
         fs::create_directories(base / "Q/P/clip");
         testing::WriteBytes(base / "Q/P/clip/0005.svg", svg);
       },
       ": the folder was removed or renamed; the watch ends\n"},
      {"a link on the way pointed elsewhere",
       [&] {
         // In a folder only its owner writes, where links are followed.
         fs::create_directories(base / "w/one/clip");
         fs::create_directories(base / "w/two/clip");
         fs::permissions(base / "w", fs::perms(0755));
         fs::create_directory_symlink("one", base / "w/L");
         return "w/L/clip";
       },
       [&](const std::string&) {
         fs::create_directory_symlink("two", base / "w/L2");
         fs::rename(base / "w/L2", base / "w/L");
       },
       ": the folder was removed or renamed; the watch ends\n"},
      {"a folder not made yet is waited for, then catalogued",
       [&] { return "new/clip"; },
       [&](const std::string& path) {
         Sleep(300);
         fs::create_directories(base / path);
         testing::WriteBytes(base / path / "0005.svg", svg);
         EXPECT_TRUE(AppearsDeep(base, path, "tev.xml"));
       },
       ": the folder does not exist; the watch waits until it is made\n"},
      {"a path longer than PATH_MAX", [&] { return MakeDeep(base, 25); },
       [&](const std::string& path) {
         EXPECT_GT(path.size(), size_t{PATH_MAX});
         EXPECT_TRUE(AppearsDeep(base, path, "tev.xml"));
       },
       ""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    for (const auto& entry : fs::directory_iterator(base)) {
      fs::remove_all(entry.path());
    }
    std::string path = c.make();
    Watching watch(CommandLine({"--watch", path}), base);
    Sleep(300);
    c.change(path);
    // A watch that should end is given a second, then stopped either way.
    bool ends = c.err.find("ends") != std::string::npos;
    Sleep(ends ? 1000 : 300);
    watch.Kill(SIGTERM);
    Outcome outcome = watch.Wait();
    EXPECT_EQ(outcome.exit_status, ends ? 1 : 128 + SIGTERM);
    EXPECT_EQ(outcome.err, c.err.empty() ? "" : "tevgen: " + path + c.err);
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
