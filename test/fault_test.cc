// Fault injection: the program is killed, runs out of disk, meets files and
// folders it may not touch, runs four times at once, and loses an image
// while it works. Whatever happens, tev.xml is the old catalogue or the
// complete new one, and nothing is left behind but what a SIGKILL leaves.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

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

constexpr std::string_view kOld = "the catalogue of an earlier run\r\n";

class FaultTest : public testing::ProgramFolderTest {
 protected:
  // Adds `count` images 00000.svg, 00001.svg, … with sizes in their text.
  void AddImages(const fs::path& folder, int count) {
    for (int i = 0; i < count; ++i) {
      char name[16];
      std::snprintf(name, sizeof name, "%05d.svg", i);
      WriteBytes((folder / name).string(),
                 "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
                     std::to_string(i % 300) +
                     ".5\" height=\"48.0\">"
                     "<rect width=\"10\" height=\"10\"/></svg>\n");
    }
  }

  // Runs once to learn the complete new catalogue, then puts the old one
  // back. Returns the new catalogue's bytes.
  std::string LearnNewCatalogue() {
    Outcome outcome = Start();
    EXPECT_EQ(outcome.exit_status, 0) << outcome.err;
    std::string catalogue_bytes = ReadBytes(catalogue());
    EXPECT_NE(catalogue_bytes.find(testing::kCatalogueTail), std::string::npos);
    AddOldCatalogue(kOld);
    return catalogue_bytes;
  }

  // Removes the staged catalogues that killed runs could not remove, and
  // returns how many there were.
  int RemoveStagedCatalogues() {
    int removed = 0;
    for (const auto& entry : fs::directory_iterator(images_.path())) {
      if (entry.path().filename().string().rfind(".tev.xml.", 0) == 0) {
        fs::remove(entry.path());
        ++removed;
      }
    }
    return removed;
  }
};

TEST_F(FaultTest, KilledRunLeavesTheOldOrTheCompleteNewCatalogue) {
  AddImages(images_.path(), 20000);
  AddOldCatalogue(kOld);
  std::string listing = FolderListing(images_.path());
  auto started = std::chrono::steady_clock::now();
  std::string new_catalogue = LearnNewCatalogue();
  auto run_time = std::chrono::steady_clock::now() - started;

  std::mt19937 random(20261207);
  std::uniform_int_distribution<long> delay_us(
      0,
      std::chrono::duration_cast<std::chrono::microseconds>(run_time).count() *
          13 / 10);
  int old_seen = 0;
  int new_seen = 0;
  for (int attempt = 0; attempt < 60; ++attempt) {
    SCOPED_TRACE("attempt " + std::to_string(attempt));
    {
      ChildProcess run(CommandLine({}), elsewhere_.path());
      std::this_thread::sleep_for(std::chrono::microseconds(delay_us(random)));
      run.Kill(SIGKILL);
      run.Wait();
    }
    std::string now = ReadBytes(catalogue());
    if (now == kOld) {
      ++old_seen;
    } else if (now == new_catalogue) {
      ++new_seen;
    } else {
      FAIL() << "tev.xml is neither the old nor the new catalogue ("
             << now.size() << " bytes)";
    }
    RemoveStagedCatalogues();
    EXPECT_EQ(FolderListing(images_.path()), listing);
    AddOldCatalogue(kOld);
  }
  std::printf("killed runs: %d left the old catalogue, %d the new one\n",
              old_seen, new_seen);
  // Both outcomes must have happened, or the kills missed the run.
  EXPECT_GT(old_seen, 0);
  EXPECT_GT(new_seen, 0);
}

// A small file system mounted for one test and unmounted after it.
class ScopedTmpfs {
 public:
  ScopedTmpfs(const fs::path& where, const char* options) : where_(where) {
    if (::mount("tmpfs", where.c_str(), "tmpfs", 0, options) == 0) {
      mounted_ = true;
    } else {
      error_ = std::strerror(errno);
    }
  }
  ~ScopedTmpfs() {
    if (mounted_) ::umount2(where_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }
  const std::string& error() const { return error_; }

 private:
  fs::path where_;
  bool mounted_ = false;
  std::string error_;
};

TEST_F(FaultTest, FullDiskKeepsTheOldCatalogue) {
  TempDir mount_point;
  ScopedTmpfs tmpfs(mount_point.path(), "size=64k,mode=0777");
  if (!tmpfs.mounted()) {
    GTEST_SKIP() << "cannot mount a tmpfs here (" << tmpfs.error()
                 << "); mounting needs root";
  }
  // Empty images take no space, but their catalogue (about 120 bytes a
  // record) does not fit into 64 KiB.
  for (int i = 0; i < 2000; ++i) {
    WriteBytes((mount_point.path() / (std::to_string(i) + ".svg")).string(),
               "");
  }
  std::string old_catalogue = (mount_point.path() / "tev.xml").string();
  WriteBytes(old_catalogue, kOld);
  std::string listing = FolderListing(mount_point.path());

  Outcome outcome = StartWith({mount_point.path().string()});
  EXPECT_EQ(outcome.exit_status, 1);
  EXPECT_EQ(outcome.err, "tevgen: " + old_catalogue +
                             ": cannot write the catalogue: No space left on "
                             "device\n");
  EXPECT_EQ(ReadBytes(old_catalogue), kOld);
  EXPECT_EQ(FolderListing(mount_point.path()), listing);
}

TEST_F(FaultTest, FourRunsAtOnceGiveOneCompleteCatalogue) {
  AddImages(images_.path(), 5000);
  AddOldCatalogue(kOld);
  std::string listing = FolderListing(images_.path());
  std::string new_catalogue = LearnNewCatalogue();
  std::vector<std::unique_ptr<ChildProcess>> runs;
  for (int i = 0; i < 4; ++i) {
    runs.push_back(
        std::make_unique<ChildProcess>(CommandLine({}), elsewhere_.path()));
  }
  for (auto& run : runs) {
    Outcome outcome = run->Wait();
    EXPECT_EQ(outcome.exit_status, 0) << outcome.err;
    EXPECT_EQ(outcome.err, "");
  }
  EXPECT_EQ(ReadBytes(catalogue()), new_catalogue);
  EXPECT_EQ(FolderListing(images_.path()), listing);
}

// Watches `folder` for a run's staged catalogue, which the run creates
// right after listing the folder. Made before the run starts, so that the
// creation cannot be missed.
class StagedCatalogueWatch {
 public:
  explicit StagedCatalogueWatch(const fs::path& folder)
      : fd_(::inotify_init1(IN_CLOEXEC)) {
    EXPECT_GE(fd_, 0);
    EXPECT_GE(::inotify_add_watch(fd_, folder.c_str(), IN_CREATE), 0);
  }
  ~StagedCatalogueWatch() { ::close(fd_); }

  // Returns true once the staged catalogue has been created, false when it
  // was not within a minute.
  bool Wait() {
    alignas(struct inotify_event) char buffer[4096];
    for (;;) {
      struct pollfd ready = {fd_, POLLIN, 0};
      if (::poll(&ready, 1, 60 * 1000) != 1) {
        ADD_FAILURE() << "no staged catalogue appeared within a minute";
        return false;
      }
      ssize_t length = ::read(fd_, buffer, sizeof buffer);
      if (length <= 0) {
        ADD_FAILURE() << "cannot read the folder's events";
        return false;
      }
      for (char* p = buffer; p < buffer + length;) {
        auto* event = reinterpret_cast<struct inotify_event*>(p);
        if (event->len > 0 &&
            std::string(event->name).rfind(".tev.xml.", 0) == 0) {
          return true;
        }
        p += sizeof(struct inotify_event) + event->len;
      }
    }
  }

 private:
  int fd_;
};

TEST_F(FaultTest, StoppedRunRemovesItsStagedCatalogue) {
  // Unlike SIGKILL, every signal that ends a process by default can be
  // caught: nothing may be left behind, not even when the folder was
  // renamed while the run worked.
  AddImages(images_.path(), 30000);
  AddOldCatalogue(kOld);
  std::string listing = FolderListing(images_.path());
  const struct {
    int signal_number;
    bool rename_folder;
  } kCases[] = {
      {SIGHUP, false},    {SIGINT, false},    {SIGQUIT, false},
      {SIGTERM, false},   {SIGUSR1, false},   {SIGUSR2, false},
      {SIGALRM, false},   {SIGVTALRM, false}, {SIGPROF, false},
      {SIGXCPU, false},   {SIGPWR, false},    {SIGIO, false},
      {SIGSTKFLT, false}, {SIGSYS, false},    {SIGABRT, false},
      {SIGBUS, false},    {SIGFPE, false},    {SIGILL, false},
      {SIGSEGV, false},   {SIGTRAP, false},   {SIGRTMIN, false},
      {SIGRTMAX, false},  {SIGTERM, true},
  };
  // The faults' default action also dumps core: not here.
  struct rlimit no_core = {0, 0};
  setrlimit(RLIMIT_CORE, &no_core);
  fs::path moved = elsewhere_.path() / "moved";
  int stopped = 0;
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::string(strsignal(c.signal_number)) +
                 (c.rename_folder ? ", folder renamed" : ""));
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // The sanitizers report these faults themselves, as crashes.
    if (c.signal_number == SIGBUS || c.signal_number == SIGFPE ||
        c.signal_number == SIGSEGV) {
      std::printf("skipped %s: a sanitizer handles it\n",
                  strsignal(c.signal_number));
      continue;
    }
#endif
    StagedCatalogueWatch watch(images_.path());
    ChildProcess run(CommandLine({folder()}), elsewhere_.path());
    if (!watch.Wait()) return;
    if (c.rename_folder) fs::rename(images_.path(), moved);
    run.Kill(c.signal_number);
    Outcome outcome = run.Wait();
    if (c.rename_folder) fs::rename(moved, images_.path());
    // The run may have finished before the signal came.
    if (outcome.exit_status == 0) {
      std::printf("skipped %s: the run ended before the signal came\n",
                  strsignal(c.signal_number));
      AddOldCatalogue(kOld);
      continue;
    }
    ++stopped;
    EXPECT_EQ(outcome.exit_status, 128 + c.signal_number);
    EXPECT_EQ(ReadBytes(catalogue()), kOld);
    EXPECT_EQ(FolderListing(images_.path()), listing);
  }
  EXPECT_GT(stopped, 0) << "every run ended before its signal came";
}

TEST_F(FaultTest, LeftoversOfKilledRunsAreRemovedButNotALiveRunsFile) {
  AddImages(images_.path(), 30000);
  AddOldCatalogue(kOld);
  std::string listing = FolderListing(images_.path());
  {
    StagedCatalogueWatch watch(images_.path());
    ChildProcess run(CommandLine({}), elsewhere_.path());
    if (!watch.Wait()) return;
    run.Kill(SIGKILL);
    run.Wait();
  }
  ASSERT_NE(FolderListing(images_.path()), listing) << "nothing was left";
  // A run still writing holds a lock on its staged file.
  std::string live = images_ / ".tev.xml.Live01";
  int fd = ::open(live.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_EX), 0);

  Outcome outcome = Start();
  ::close(fd);
  EXPECT_EQ(outcome.exit_status, 0) << outcome.err;
  EXPECT_EQ(FolderListing(images_.path()), ".tev.xml.Live01\n" + listing);
}

TEST_F(FaultTest, ImageDeletedAfterTheListingGetsNoSize) {
  constexpr int kImages = 30000;
  const std::string last_record =
      "  <tev id=\"29999\" displayed_name=\"Kalender\">\r\n"
      "    <frame type=\"svg\" a=\"0\" x=\"0\" y=\"0\" w=\"0\" h=\"0\"/>\r\n"
      "  </tev>\r\n</tevs>\r\n";
  // The deletion races with the run's reading; the run is given a large
  // head start of images, and the test tries again if it still lost.
  for (int attempt = 0; attempt < 3; ++attempt) {
    SCOPED_TRACE("attempt " + std::to_string(attempt));
    AddImages(images_.path(), kImages);
    StagedCatalogueWatch watch(images_.path());
    ChildProcess run(CommandLine({}), elsewhere_.path());
    watch.Wait();
    fs::remove(images_ / "29999.svg");
    Outcome outcome = run.Wait();
    ASSERT_EQ(outcome.exit_status, 0) << outcome.err;
    std::string result = ReadBytes(catalogue());
    ASSERT_GT(result.size(), last_record.size());
    if (result.compare(result.size() - last_record.size(), last_record.size(),
                       last_record) == 0) {
      EXPECT_NE(result.find("<tev id=\"29998\""), std::string::npos);
      std::printf("image deleted in time on attempt %d\n", attempt + 1);
      return;
    }
  }
  FAIL() << "the image was never deleted before the run read it";
}

TEST_F(FaultTest, ReadOnlyFolderIsAnError) {
  AddImage("1.svg", "");
  AddOldCatalogue("old");
  fs::permissions(images_.path(), fs::perms(0555));
  std::string before = FolderListing(images_.path());
  ExpectFailure(Start(/*unprivileged=*/true),
                folder() +
                    ": cannot write a new catalogue in the folder: "
                    "Permission denied",
                before, "old");
  fs::permissions(images_.path(), fs::perms::all);
}

TEST_F(FaultTest, ReadOnlyCatalogueIsNotReplacedForAnUnprivilegedUser) {
  AddImage("1.svg", "");
  AddImage("tev.xml", "old");
  fs::permissions(catalogue(), fs::perms(0444));
  std::string before = FolderListing(images_.path());
  ExpectFailure(Start(/*unprivileged=*/true),
                catalogue() +
                    ": cannot replace the catalogue: Permission "
                    "denied",
                before, "old");
}

// An image the running user may not read, in a folder of that user's
// that nobody else may change: the system's refusal. (In a folder that
// others may write, the program itself refuses a file they could not
// read, which the link rows test.) So also when the suite runs as the
// unprivileged user.
TEST_F(FaultTest, UnreadableImageIsAnError) {
  AddImage("1.svg", "");
  AddImage("2.svg", "<svg/>");
  AddOldCatalogue("old");
  fs::permissions(images_ / "2.svg", fs::perms(0));
  if (::geteuid() == 0) {
    ASSERT_EQ(
        ::chown(images_.path().c_str(), testing::kNobody, testing::kNobody), 0);
  }
  fs::permissions(images_.path(), fs::perms(0755));
  std::string before = FolderListing(images_.path());
  ExpectFailure(Start(/*unprivileged=*/true),
                images_ / "2.svg" + ": cannot open the file: Permission denied",
                before, "old");
}

TEST_F(FaultTest, UnlistableFolderIsAnError) {
  AddOldCatalogue("old");
  fs::permissions(images_.path(), fs::perms(0311));
  Outcome outcome = Start(/*unprivileged=*/true);
  fs::permissions(images_.path(), fs::perms::all);
  ExpectFailure(outcome,
                folder() + ": cannot list the folder: Permission denied",
                "tev.xml\ntevgen\n", "old");
}

// Drops the folder's files from the page cache: the run waits for the disk
// and starts its threads, as on a cold cache.
void DropFromCache(const fs::path& folder) {
  for (const auto& entry : fs::directory_iterator(folder)) {
    int fd = ::open(entry.path().c_str(), O_RDONLY | O_CLOEXEC);
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    ::close(fd);
  }
}

// The shell command that runs `command` in a new cgroup (v2, or v1's
// pids hierarchy) of 3 processes and threads at most, which the caller
// removes with ::rmdir(*dir); or empty, and `*dir` says why.
std::string InPidsCgroup(const std::string& command, std::string* dir) {
  std::string why;
  for (std::string root : {"/sys/fs/cgroup/", "/sys/fs/cgroup/pids/"}) {
    *dir = root + "tevgen-test-" + std::to_string(::getpid());
    // A cgroup has the file already; a plain folder does not.
    int fd = ::mkdir(dir->c_str(), 0755) == 0
                 ? ::open((*dir + "/pids.max").c_str(), O_WRONLY | O_CLOEXEC)
                 : -1;
    if (fd >= 0 && ::write(fd, "3", 1) == 1 && ::close(fd) == 0) {
      return "echo $$ >" + *dir + "/cgroup.procs && " + command;
    }
    why += *dir + ": " + std::strerror(errno) + "; ";
    ::rmdir(dir->c_str());
  }
  *dir = why;
  return "";
}

// Makes `path` a sparse image of 16 TiB less 64 KiB (ext4 holds 16 TiB less
// a block), a few bytes of data at its start, middle and end. Returns why
// not.
std::string AddSparseImage(const std::string& path) {
  constexpr off_t kSize = (off_t{16} << 40) - 65536;
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  bool made = ::ftruncate(fd, kSize) == 0 &&
              ::pwrite(fd, "<svg width=\"1", 13, 0) == 13 &&
              ::pwrite(fd, "2.5\" height=\"3", 14, kSize / 2) == 14 &&
              ::pwrite(fd, ".5\">", 4, kSize - 4) == 4;
  std::string why = made ? "" : std::strerror(errno);
  ::close(fd);
  return why;
}

// A sanitizer reserves terabytes of address space at start.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

TEST_F(FaultTest, LimitsAreReportedOrChangeOnlyTheSpeed) {
  AddImages(images_.path(), 2000);
  // Sizes too long to hold keep their images open until they are written.
  for (int i = 10000; i < 10300; ++i) {
    AddImage(std::to_string(i) + ".svg",
             "<svg width=\"" + std::string(1700, '7') + ".5\" height=\"4.5\">");
  }
  std::string sparse_refused = AddSparseImage(images_ / "99999.svg");
  AddOldCatalogue(kOld);
  std::string listing = FolderListing(images_.path());
  // Reading the sparse image through would take hours.
  std::vector<std::string> learn = {"prlimit", "--cpu=60", "--"};
  for (const std::string& arg : CommandLine({"-j1"})) learn.push_back(arg);
  ASSERT_EQ(testing::RunProgram(learn, elsewhere_.path()).exit_status, 0);
  std::string expected = ReadBytes(catalogue());
  if (sparse_refused.empty()) {
    // Its holes read as NUL, which the catalogue leaves out of a value.
    EXPECT_NE(expected.find("id=\"99999\" displayed_name=\"Kalender\">\r\n"
                            "    <frame type=\"svg\" a=\"0\" x=\"0\" y=\"0\" "
                            "w=\"120\" h=\"30\"/>"),
              std::string::npos);
  } else {
    std::printf("no sparse image of 16 TiB: %s\n", sparse_refused.c_str());
  }
  AddOldCatalogue(kOld);
  std::string cgroup;
  // A German locale of the test's own, named by LC_MESSAGES alone: the
  // system's text must keep its umlauts ("zu gro\xC3\x9F", not "gro?").
  TempDir locales;
  bool have_german = std::system(("localedef -i de_DE -f UTF-8 " +
                                  (locales / "de_DE.UTF-8") + " 2>/dev/null")
                                     .c_str()) == 0;
  // The shell sets the limit, or sends the output to a full device, then
  // becomes the program. dash counts ulimit -f in 512-byte blocks.
  const struct {
    std::string shell;  // Empty: the limit cannot be set here.
    std::string arg;
    std::string err;            // Empty: the run gives the catalogue of -j 1.
    bool unprivileged = false;  // Root is held to no limit of processes.
  } kCases[] = {
      {"ulimit -f 8; exec \"$0\" \"$1\"", folder(),
       "tevgen: " + catalogue() +
           ": cannot write the catalogue: File too "
           "large\n"},
      {"unset LC_ALL LANG; export LOCPATH=" + locales.path().string() +
           " LC_MESSAGES=de_DE.UTF-8; ulimit -f 8; exec \"$0\" \"$1\"",
       folder(),
       "tevgen: " + catalogue() +
           ": der Katalog l\xC3\xA4sst sich nicht schreiben: Die Datei ist "
           "zu gro\xC3\x9F\n"},
      {"exec \"$0\" \"$1\" >/dev/full", "--help",
       "tevgen: write error: No space left on device\n"},
      {"exec \"$0\" \"$1\" >/dev/full", "--version",
       "tevgen: write error: No space left on device\n"},
      {InPidsCgroup("exec \"$0\" -j 1024 \"$1\"", &cgroup), folder(), ""},
      {"exec prlimit --nproc=2 -- \"$0\" -j 1024 \"$1\"", folder(), "", true},
      {"exec prlimit --nproc=8 -- \"$0\" -j 16 \"$1\"", folder(), "", true},
      {"exec prlimit --as=204800000 -- \"$0\" -j 1024 \"$1\"", folder(), ""},
      {"exec prlimit --as=409600000 -- \"$0\" -j 16 \"$1\"", folder(), ""},
      {"ulimit -n 16; exec \"$0\" -j 1024 \"$1\"", folder(), ""},
      {"ulimit -n 64; exec \"$0\" -j 1024 \"$1\"", folder(), ""},
      {"ulimit -n 64; exec \"$0\" -j 16 \"$1\"", folder(), ""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.shell + " " + c.arg);
    if (c.shell.find("LOCPATH") != std::string::npos && !have_german) {
      std::printf("skipped a row: localedef cannot make de_DE.UTF-8\n");
      continue;
    }
    if (c.shell.empty() ||
        (kSanitized && c.shell.find("--as") != c.shell.npos)) {
      std::printf("skipped a row: %s\n",
                  c.shell.empty() ? cgroup.c_str()
                                  : "a sanitizer needs more address space");
      continue;
    }
    std::vector<std::string> argv = {"/bin/sh", "-c", c.shell};
    std::vector<std::string> program = CommandLine({c.arg});
    argv.insert(argv.end(), program.begin(), program.end());
    DropFromCache(images_.path());
    Outcome outcome =
        testing::RunProgram(argv, elsewhere_.path(), c.unprivileged);
    EXPECT_EQ(outcome.exit_status, c.err.empty() ? 0 : 1);
    EXPECT_EQ(outcome.err, c.err);
    EXPECT_TRUE(ReadBytes(catalogue()) ==
                (c.err.empty() ? expected : std::string(kOld)));
    EXPECT_EQ(FolderListing(images_.path()), listing);
    AddOldCatalogue(kOld);
  }
  ::rmdir(cgroup.c_str());
}

TEST_F(FaultTest, ImageChangedWhileReadGivesAVersionsRecordOrStops) {
  // A writer steps an image through versions, one system call a step: a
  // "." into and out of the long width, a digit of the long height, the
  // file cut inside the NULs after the height and grown back.
  const off_t w = 12, h = w + 2012, dot = h + 10000;
  std::string version = "<svg width=\"" + std::string(2000, '1') +
                        ".5\" height=\"" + std::string(2000, '2') +
                        std::string(8000, '\0') + ".5\">";
  const std::pair<off_t, std::string> kSteps[] = {
      {w + 999, "."}, {h + 999, "3"}, {h + 6000, ""}, {dot + 4, ""},
      {dot, "."},     {w + 999, "1"}, {h + 999, "2"}, {dot + 1, "5\">"}};
  std::set<std::string> records;  // Empty bytes: cut or grown to there.
  for (const auto& [at, bytes] : kSteps) {
    version.resize(bytes.empty() ? at : version.size(), '\0');
    version.replace(at, bytes.size(), bytes);
    AddImage("1.svg", version);
    ASSERT_EQ(Start().exit_status, 0);
    records.insert(ReadBytes(catalogue()));
  }
  std::string listing = FolderListing(images_.path());
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    int fd = ::open((images_ / "1.svg").c_str(), O_WRONLY | O_CLOEXEC);
    for (std::minstd_rand random; !stop.load();) {
      for (const auto& [at, bytes] : kSteps) {
        EXPECT_TRUE(bytes.empty() ? ::ftruncate(fd, at) == 0
                                  : ::pwrite(fd, bytes.data(), bytes.size(),
                                             at) == ssize_t(bytes.size()));
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 300));
      }
    }
    ::close(fd);
  });
  auto started = std::chrono::steady_clock::now();
  for (int run = 0; run < 300 && std::chrono::steady_clock::now() - started <
                                     std::chrono::seconds(10);
       ++run) {
    std::string before = ReadBytes(catalogue());
    Outcome outcome = Start();
    if (outcome.exit_status == 0) {
      EXPECT_TRUE(records.count(ReadBytes(catalogue())))
          << "no version's record";
    } else {
      EXPECT_EQ(outcome.exit_status, 1);
      EXPECT_EQ(outcome.err, "tevgen: " + images_ / "1.svg" +
                                 ": the image changed while it was read\n");
      EXPECT_EQ(ReadBytes(catalogue()), before);
    }
    EXPECT_EQ(FolderListing(images_.path()), listing);
  }
  stop.store(true);
  writer.join();
}

TEST_F(FaultTest, MessagesAreOneLineWithoutControlBytes) {
  const struct {
    std::string name;
    std::string shown;
  } kCases[] = {
      {"1\n2.svg", "\"" + images_ / "1\\n2.svg\""},
      {"\x1b]0;owned\x07.svg", "\"" + images_ / "\\033]0;owned\\a.svg\""},
      {"\x1b[2J\x9b"
       "1m.svg",
       "\"" + images_ / "\\033[2J\\2331m.svg\""},
      // Shown as "7.svg" on a terminal, were it not escaped.
      {"7\xE2\x80\x8B.svg", "\"" + images_ / "7\\342\\200\\213.svg\""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.shown);
    AddImage(c.name, "");
    Outcome outcome = Start();
    EXPECT_EQ(outcome.exit_status, 1);
    EXPECT_EQ(outcome.err,
              "tevgen: " + c.shown +
                  ": the file name is not an image number (only digits may "
                  "stand before \".svg\")\n");
    fs::remove(images_ / c.name);
  }
}

// Root catalogues a folder that user 65534 fills. Links planted there are
// followed only when they cannot lead to another user's file; the owner
// running in their own folder follows every link.
TEST_F(FaultTest, LinksInAnotherUsersFolderAreFollowedOnlyWhenSafe) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "planting another user's links needs root";
  }
  using testing::kNobody;
  TempDir root_files;  // root's, readable by all
  fs::permissions(root_files.path(), fs::perms(0755));
  WriteBytes(root_files / "secret", "<svg width=\"31337.5\"/>");
  fs::permissions(root_files / "secret", fs::perms(0600));
  WriteBytes(root_files / "public.svg", "<svg width=\"5.5\"/>");
  fs::create_directory(root_files / "hidden");
  fs::permissions(root_files / "hidden", fs::perms(0700));
  WriteBytes(root_files / "hidden/exists.svg", "<svg/>");
  WriteBytes(root_files / "theirs.xml", "another user's");
  ASSERT_EQ(::chown((root_files / "theirs.xml").c_str(), kNobody - 1, 0), 0);
  TempDir nobody_files;
  WriteBytes(nobody_files / "own.xml", "old");
  ASSERT_EQ(::chown(nobody_files.path().c_str(), kNobody, kNobody), 0);
  ASSERT_EQ(::chown((nobody_files / "own.xml").c_str(), kNobody, kNobody), 0);
  ASSERT_EQ(::chown(folder().c_str(), kNobody, kNobody), 0);
  fs::permissions(folder(), fs::perms(0755));  // theirs alone

  const std::string refused = ": not following a link of user 65534 to a ";
  const struct {
    std::string name;
    std::string target;
    uid_t link_owner;
    bool run_as_owner;
    std::string err;  // Empty: the run succeeds.
  } kCases[] = {
      {"tev.xml", root_files / "secret", kNobody, false,
       catalogue() + refused + "file of user 0"},
      {"1.svg", root_files / "secret", kNobody, false,
       images_ / "1.svg" + refused + "file of user 0"},
      {"tev.xml", root_files / "new.xml", kNobody, false,
       catalogue() + refused + "folder of user 0"},
      {"tev.xml", nobody_files / "own.xml", kNobody, false, ""},
      {"1.svg", root_files / "public.svg", 0, false, ""},
      {"1.svg", root_files / "public.svg", kNobody, true, ""},
      // What everybody may read: the link's owner could read it too.
      {"1.svg", root_files / "public.svg", kNobody, false, ""},
      // Another user's link to their file, which the folder's owner may
      // have moved in: bound to the folder's owner too.
      {"tev.xml", root_files / "theirs.xml", kNobody - 1, false,
       catalogue() + ": not following a link of user 65534 to a file of "
                     "user 65533"},
      // Whether a file exists where its owner cannot look is not told.
      {"1.svg", root_files / "hidden/exists.svg", kNobody, false,
       images_ / "1.svg" + refused + "folder of user 0"},
      {"1.svg", root_files / "hidden/missing.svg", kNobody, false,
       images_ / "1.svg" + refused + "folder of user 0"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name + " -> " + c.target);
    fs::create_symlink(c.target, images_ / c.name);
    ASSERT_EQ(::lchown((images_ / c.name).c_str(), c.link_owner, kNobody), 0);
    Outcome outcome = StartWith({folder()}, c.run_as_owner);
    if (c.err.empty()) {
      EXPECT_EQ(outcome.exit_status, 0) << outcome.err;
      EXPECT_NE(ReadBytes(images_ / "tev.xml")
                    .find(c.name == "1.svg" ? "w=\"50\"" : "</tevs>"),
                std::string::npos);
    } else {
      EXPECT_EQ(outcome.exit_status, 1);
      EXPECT_EQ(outcome.err, "tevgen: " + c.err + "\n");
    }
    EXPECT_EQ(ReadBytes(root_files / "secret"), "<svg width=\"31337.5\"/>");
    EXPECT_FALSE(fs::exists(root_files / "new.xml"));
    fs::remove(images_ / c.name);
    EXPECT_EQ(ReadBytes(catalogue()).find("31337"), std::string::npos);
    fs::remove(catalogue());
  }
  // Root's run left the catalogue of user 65534 theirs.
  struct stat st;
  ASSERT_EQ(::stat((nobody_files / "own.xml").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, kNobody);
  EXPECT_EQ(st.st_gid, kNobody);
}

// A process of user 65534 that swaps `a` and `b` (or renames `a` to `b`
// and back) again and again until it is destroyed.
class Attacker {
 public:
  Attacker(const fs::path& a, const fs::path& b) {
    if (a.empty()) return;
    pid_ = ::fork();
    if (pid_ != 0) return;
    if (!testing::DropPrivileges()) ::_exit(1);
    for (;;) {
      if (::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(),
                      RENAME_EXCHANGE) != 0) {
        ::rename(a.c_str(), b.c_str());
        ::rename(b.c_str(), a.c_str());
      }
    }
  }
  ~Attacker() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }

 private:
  pid_t pid_ = -1;
};

// Whether the catalogue `path` holds the images of two folders: 1.svg of
// one and 2.svg of the other.
bool MixesFolders(const fs::path& path) {
  std::string catalogue = fs::exists(path) ? ReadBytes(path) : "";
  return catalogue.find("<tev id=\"1\"") != std::string::npos &&
         catalogue.find("<tev id=\"2\"") != std::string::npos;
}

// How long each row of the race table races: 3 s, or TEVGEN_RACE_SECONDS
// (the sanitizer suites, whose slower runs find memory and thread faults
// in the first second as well as in the third, set 1).
int RaceSeconds() {
  const char* value = std::getenv("TEVGEN_RACE_SECONDS");
  int seconds = value ? std::atoi(value) : 0;
  return seconds > 0 ? seconds : 3;
}

// Root catalogues home/clipart, a folder of user 65534 in their own folder,
// again and again (for RaceSeconds() or 1000 runs) while that user swaps
// names. No run may read root's secret into the catalogue, change root's
// victim file, remove another user's leftover or open root's FIFO. A run
// catalogues one folder, the one it opened: it never mixes two, nor finds
// one swapped in.
TEST_F(FaultTest, RacesAndLinksOfAnotherUserNeverReachRootsFiles) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "racing another user's links against root needs root";
  }
  using testing::kNobody;
  constexpr uid_t kHardLink = 1;  // in Entry::owner: a hard link by root
  // In Entry::owner: a folder of root's holding root's link tev.xml.
  constexpr uid_t kRootsFolder = 2;
  // In Entry::owner: a copy of root's file, as if moved in from a folder
  // that everybody writes.
  constexpr uid_t kMovedIn = 3;
  // In Entry::owner: a hard link to a third user's private file whose owner
  // since saved it anew, so that the planted name is its only one.
  constexpr uid_t kOrphaned = 4;
  // In Entry::owner: a folder of user 65534 holding the image `target`.
  constexpr uid_t kOtherFolder = 5;
  TempDir root;  // root's, readable by all
  fs::permissions(root.path(), fs::perms(0755));
  const std::string r = root.path().string() + "/";
  auto own = [](const fs::path& path, uid_t user) {
    ASSERT_EQ(::lchown(path.c_str(), user, user), 0) << path;
  };
  ASSERT_EQ(::mkfifo((r + "fifo").c_str(), 0600), 0);
  WriteBytes(r + "public.svg", "<svg width=\"5.5\"/>");
  fs::create_symlink(r + "secret", r + "to-secret");
  fs::create_directory(r + "gallery");
  fs::create_symlink(r + "victim.xml", r + "gallery/tev.xml");
  fs::create_directory(r + "shared");
  fs::permissions(r + "shared", fs::perms(01777));  // like /tmp
  WriteBytes(r + "shared/report", "theirs");
  own(r + "shared/report", kNobody);
  // Another user's staged file that a killed run of theirs left.
  const std::string others_leftover = r + "shared/.report.AB12cd";

  struct Entry {
    std::string name;  // in clipart
    std::string target;
    uid_t owner;
  };
  const struct {
    std::string what;
    std::vector<Entry> entries;
    std::string swap_a, swap_b;  // in home
  } kRows[] = {
      {"1: folder renamed away and back",
       {{"tev.xml", r + "victim.xml", kNobody}},
       "clipart",
       "away"},
      {"1: folder exchanged with a link to root's folder",
       {{"../link", r + "gallery", kNobody}},
       "clipart",
       "link"},
      {"1: folder exchanged with another folder of images",
       {{"../other", "2.svg", kOtherFolder}},
       "clipart",
       "other"},
      {"1: a folder of root's renamed in place of the user's",
       {{"../given", r + "victim.xml", kRootsFolder}},
       "clipart",
       "given"},
      {"2: root's link swapped with the attacker's",
       {{"0005.svg", r + "public.svg", 0}, {".x", r + "secret", kNobody}},
       "clipart/0005.svg",
       "clipart/.x"},
      {"3: root's link to the attacker's link",
       {{"0007.svg", ".current.svg", 0},
        {".current.svg", r + "secret", kNobody}},
       "",
       ""},
      {"4: a folder on root's link's way replaced by a link",
       {{"tev.xml", "web/victim.xml", 0}, {"web", r, kNobody}},
       "",
       ""},
      {"3: root's link moved into the user's folder",
       {{"tev.xml", r + "victim.xml", 0}},
       "",
       ""},
      {"5: root's private file moved into the folder",
       {{"0006.svg", r + "secret", kMovedIn}},
       "",
       ""},
      {"5: an orphaned hard link to a third user's private file",
       {{"0008.svg", r + "secret", kOrphaned}},
       "",
       ""},
      {"5: a hard link to root's file",
       {{"0003.svg", r + "secret", kHardLink}},
       "",
       ""},
      {"5: a hard link to root's link to root's file",
       {{"0004.svg", r + "to-secret", kHardLink}},
       "",
       ""},
      {"6: leftovers beside a catalogue in a shared folder",
       {{"tev.xml", r + "shared/report", kNobody}},
       "",
       ""},
      {"7: root's FIFO given a name in the folder, swapped with an image",
       {{"0001.svg", "1.svg", kNobody}, {".p", r + "fifo", kHardLink}},
       "clipart/0001.svg",
       "clipart/.p"},
      {"7: a link swapped to root's FIFO",
       {{"0001.svg", "1.svg", kNobody}, {".fifo", r + "fifo", kNobody}},
       "clipart/0001.svg",
       "clipart/.fifo"},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.what);
    TempDir home;
    fs::path clip = home.path() / "clipart";
    fs::create_directory(clip);
    WriteBytes(clip / "1.svg", "<svg/>");
    for (const fs::path& path : {home.path(), clip, clip / "1.svg"}) {
      own(path, kNobody);
    }
    WriteBytes(r + "secret", "<svg width=\"31337.5\"/>");
    fs::permissions(r + "secret", fs::perms(0600));
    WriteBytes(r + "victim.xml", "victim");
    WriteBytes(others_leftover, "another user's");
    own(others_leftover, kNobody - 1);
    for (const Entry& entry : row.entries) {
      if (entry.owner == kHardLink) {
        fs::create_hard_link(entry.target, clip / entry.name);
      } else if (entry.owner == kOrphaned) {
        fs::copy_file(entry.target, clip / entry.name);
        fs::permissions(clip / entry.name, fs::perms(0600));
        own(clip / entry.name, kNobody - 1);
      } else if (entry.owner == kMovedIn) {
        fs::copy_file(entry.target, clip / entry.name);
        fs::permissions(clip / entry.name, fs::perms(0600));
      } else if (entry.owner == kOtherFolder) {
        fs::create_directory(clip / entry.name);
        WriteBytes(clip / entry.name / entry.target, "<svg width=\"2.5\"/>");
        own(clip / entry.name, kNobody);
        own(clip / entry.name / entry.target, kNobody);
      } else if (entry.owner == kRootsFolder) {
        fs::create_directory(clip / entry.name);
        fs::create_symlink(entry.target, clip / entry.name / "tev.xml");
      } else {
        fs::create_symlink(entry.target, clip / entry.name);
        own(clip / entry.name, entry.owner);
      }
    }
    // A writer that blocks until somebody opens root's FIFO for reading.
    pid_t writer = ::fork();
    if (writer == 0) {
      ::open((r + "fifo").c_str(), O_WRONLY);
      ::_exit(0);
    }
    int runs = 0;
    int harmed = 0;  // the run that harmed root's files, if one did
    {
      Attacker attacker(row.swap_a.empty() ? "" : home / row.swap_a,
                        home / row.swap_b);
      auto end = std::chrono::steady_clock::now() +
                 std::chrono::seconds(RaceSeconds());
      for (; runs < 1000 && std::chrono::steady_clock::now() < end; ++runs) {
        Outcome outcome = StartWith({clip.string()});
        bool harm =
            ReadBytes(r + "victim.xml") != "victim" ||
            ReadBytes(clip / "tev.xml").find("31337") != std::string::npos ||
            !fs::exists(others_leftover) ||
            ::waitpid(writer, nullptr, WNOHANG) != 0 ||
            outcome.err.find("user 0 to a file of user 0") !=
                std::string::npos ||
            outcome.err.find("another folder took") != std::string::npos ||
            MixesFolders(home.path() / "clipart/tev.xml") ||
            MixesFolders(home.path() / "other/tev.xml");
        if (harm) {
          harmed = runs + 1;
          break;
        }
      }
    }
    ::kill(writer, SIGKILL);
    ::waitpid(writer, nullptr, 0);
    std::string seen = harmed ? "harmed in run " + std::to_string(harmed)
                              : "unharmed in " + std::to_string(runs) + " runs";
    std::printf("%s: %s\n", row.what.c_str(), seen.c_str());
    EXPECT_EQ(harmed, 0);
    fs::remove(r + "secret");
  }
}

// The processor time of the children waited for so far, in seconds.
double ChildrenProcessorTime() {
  struct rusage usage;
  ::getrusage(RUSAGE_CHILDREN, &usage);
  auto seconds = [](const struct timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// A process of user 65534 that opens `path` (theirs) and holds a lease on
// it, ignoring the signal that asks them to give it up, until destroyed.
class LeaseHolder {
 public:
  explicit LeaseHolder(const std::string& path) {
    int ready[2];
    if (::pipe(ready) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(ready[0]);
      ::signal(SIGIO, SIG_IGN);
      int fd = -1;
      if (testing::DropPrivileges() &&
          (fd = ::open(path.c_str(), O_RDONLY)) >= 0 &&
          ::fcntl(fd, F_SETLEASE, F_WRLCK) == 0) {
        (void)!::write(ready[1], "1", 1);
      }
      ::close(ready[1]);
      for (;;) ::pause();
    }
    ::close(ready[1]);
    char c;
    held_ = pid_ > 0 && ::read(ready[0], &c, 1) == 1;
    ::close(ready[0]);
  }
  ~LeaseHolder() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  bool held() const { return held_; }

 private:
  pid_t pid_ = -1;
  bool held_ = false;
};

// Root catalogues a folder of user 65534, who fills it to make the run
// cost without bound, wait on them or write a huge catalogue. The run's
// processor time is bounded by a few times that of as many plain images in
// the same run of the test; no open waits on a lease; what is refused is
// refused with one line and the old catalogue kept; what is let pass makes
// a catalogue of a bounded size however many names an image is given.
TEST_F(FaultTest, AnotherUsersUploadsCannotStallOrFloodARootRun) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "another user's uploads against root need root";
  }
  using testing::kNobody;
  auto own = [](const fs::path& path) {
    ASSERT_EQ(::lchown(path.c_str(), kNobody, kNobody), 0) << path;
  };
  const std::string image = "<svg width=\"3.5\" height=\"4.5\">";
  // A chain of 40 links, each target `prefix` repeated then the link
  // before, ending at an image; `images` links to its end.
  auto chain = [&](const fs::path& folder, const std::string& prefix,
                   int images) {
    WriteBytes((folder / "l0").string(), image);
    own(folder / "l0");
    for (int i = 1; i < 40; ++i) {
      std::string target;
      while (target.size() + prefix.size() < 4000) target += prefix;
      target += 'l';
      target += std::to_string(i - 1);
      fs::path link = folder / "l";
      link += std::to_string(i);
      fs::create_symlink(target, link);
      own(link);
    }
    for (int i = 0; i < images; ++i) {
      fs::path link = folder / (std::to_string(i) + ".svg");
      fs::create_symlink("l39", link);
      own(link);
    }
  };
  // An image whose sizes are `quotes` times `"` (escaped to 6 bytes each),
  // under 100 names.
  auto quoted = [&](const fs::path& f, size_t quotes) {
    std::string value(quotes, '"');
    WriteBytes((f / "0.svg").string(),
               "<svg width=\"" + value + ". height=\"" + value + ".");
    own(f / "0.svg");
    for (int i = 1; i < 100; ++i) {
      fs::create_hard_link(f / "0.svg", f / (std::to_string(i) + ".svg"));
    }
  };
  // A record: two sizes of at most 4096 bytes, escaped, and its lines.
  constexpr size_t kLargestRecord = 2 * 4096 * 6 + 1024;
  const std::string plain_run_of = "240 plain images";
  const struct {
    std::string what;
    std::function<void(const fs::path&)> fill;
    std::string err;     // Empty: the run succeeds.
    double most_cost;    // times the plain images' processor time
    std::string leased;  // a name user 65534 holds a lease on
    size_t most_catalogue = 240 * 1024;  // bytes, when the run succeeds
  } kRows[] = {
      {"1: 200 links to a chain of 40 links of \"./\" 2,000 times",
       [&](const fs::path& f) { chain(f, "./", 200); }, "", 5, ""},
      {"1: 200 links to a chain of 40 links of \"d/../\" 800 times",
       [&](const fs::path& f) {
         fs::create_directory(f / "d");
         own(f / "d");
         chain(f, "d/../", 200);
       },
       "0.svg: not following a path of more than 1024 names, its links' "
       "included",
       250, ""},
      {"2: a leased image",
       [&](const fs::path& f) {
         WriteBytes((f / "5.svg").string(), image);
         own(f / "5.svg");
       },
       "5.svg: cannot open the file: another process holds a lease on it "
       "and would make the run wait",
       5, "5.svg"},
      {"2: a leased leftover of a killed run",
       [&](const fs::path& f) {
         WriteBytes((f / "5.svg").string(), image);
         WriteBytes((f / ".tev.xml.AB12cd").string(), "theirs");
         own(f / "5.svg");
         own(f / ".tev.xml.AB12cd");
       },
       "", 5, ".tev.xml.AB12cd"},
      {"3: a size that runs on for a mebibyte, under 100 names",
       [&](const fs::path& f) {
         WriteBytes(
             (f / "0.svg").string(),
             "<svg width=\"1 height=\"2" + std::string(1 << 20, 'x') + ".");
         own(f / "0.svg");
         for (int i = 1; i < 100; ++i) {
           fs::create_hard_link(f / "0.svg", f / (std::to_string(i) + ".svg"));
         }
       },
       "0.svg: the height attribute's value runs on for more than 4096 "
       "bytes before its \".\"",
       5, ""},
      {"3: sizes of 4,095 \" (24 KB escaped), under 100 names",
       [&](const fs::path& f) { quoted(f, 4095); }, "", 5, "",
       100 * kLargestRecord},
      {"3: sizes of 60,000 \" (360 KB escaped), under 100 names",
       [&](const fs::path& f) { quoted(f, 60000); },
       "0.svg: the height attribute's value runs on for more than 4096 "
       "bytes before its \".\"",
       5, ""},
  };
  // The baseline: the same run over plain images, the cheapest of three.
  TempDir plain;
  for (int i = 0; i < 240; ++i) {
    WriteBytes(plain / (std::to_string(i) + ".svg"), image);
  }
  double baseline = 1e9;
  for (int i = 0; i < 3; ++i) {
    double before = ChildrenProcessorTime();
    ASSERT_EQ(StartWith({plain.path().string()}).exit_status, 0);
    baseline = std::min(baseline, ChildrenProcessorTime() - before);
  }
  // A run of the old kind takes minutes: it is stopped, and fails the row.
  std::vector<std::string> bounded = {"prlimit", "--cpu=20", "--"};
  for (const std::string& arg : CommandLine({"-j2", folder()})) {
    bounded.push_back(arg);
  }
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.what);
    for (const auto& entry : fs::directory_iterator(images_.path())) {
      if (entry.path() != program()) fs::remove_all(entry.path());
    }
    own(images_.path());
    fs::permissions(images_.path(), fs::perms(0755));
    row.fill(images_.path());
    AddOldCatalogue(kOld);
    own(catalogue());
    std::optional<LeaseHolder> lease;
    if (!row.leased.empty()) {
      lease.emplace(images_ / row.leased);
      ASSERT_TRUE(lease->held()) << "no lease on " << row.leased;
    }
    double before = ChildrenProcessorTime();
    auto started = std::chrono::steady_clock::now();
    Outcome outcome = testing::RunProgram(bounded, elsewhere_.path());
    double cost = ChildrenProcessorTime() - before;
    auto waited = std::chrono::steady_clock::now() - started;
    std::printf("%s: %.3f s of processor time, %.1f times %s\n",
                row.what.c_str(), cost, cost / baseline, plain_run_of.c_str());
    // A sanitizer slows the reading more than the start it shares with
    // the baseline; the faults it must catch cost hundreds of times more.
    const double slack = kSanitized ? 4 : 1;
    EXPECT_LE(cost, slack * row.most_cost * std::max(baseline, 0.01));
    if (row.err.empty()) {
      EXPECT_EQ(outcome.exit_status, 0) << outcome.err;
      EXPECT_NE(ReadBytes(catalogue()).find(testing::kCatalogueTail),
                std::string::npos);
      EXPECT_LE(fs::file_size(catalogue()), row.most_catalogue);
    } else {
      EXPECT_EQ(outcome.exit_status, 1);
      EXPECT_EQ(outcome.err, "tevgen: " + images_ / row.err + "\n");
      // Not printed when it differs: it may be a flood.
      EXPECT_TRUE(ReadBytes(catalogue()) == kOld)
          << fs::file_size(catalogue()) << " bytes";
    }
    // The lease was never broken: the run did not wait for it (which
    // takes the system's lease-break-time, 45 s by default).
    if (lease) {
      EXPECT_TRUE(fs::exists(images_ / row.leased));
      EXPECT_LT(
          waited,
          std::chrono::seconds(
              ReadBytes("/proc/sys/fs/lease-break-time").empty()
                  ? 45
                  : std::stoi(ReadBytes("/proc/sys/fs/lease-break-time"))));
    }
  }
}

// Images an uploader keeps changing, their change times always within the
// time a write may take: each costs a check (which goes on past them) no
// wait of its own, so four times the images cost about the same time, not
// four times as much.
TEST_F(FaultTest, ImagesKeptChangingCostACheckABoundedWait) {
  std::atomic<bool> stop{false};
  std::atomic<int> images{0};
  std::thread toucher([&] {
    while (!stop.load()) {
      for (int i = 0; i < images.load(); ++i) {
        std::string name = images_ / (std::to_string(i) + ".svg");
        ::utimensat(AT_FDCWD, name.c_str(), nullptr, 0);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  auto check_of = [&](int count) {
    for (int i = 0; i < count; ++i) {
      AddImage(std::to_string(i) + ".svg",
               "<svg width=\"3.5\" height=\"4.5\">");
    }
    images.store(count);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto started = std::chrono::steady_clock::now();
    Outcome outcome = StartWith({"--check", "-j1", folder()});
    std::chrono::duration<double> took =
        std::chrono::steady_clock::now() - started;
    EXPECT_EQ(outcome.exit_status, 1);
    EXPECT_NE(outcome.out.find("the image changed while it was read"),
              std::string::npos)
        << outcome.out;
    std::printf("%d images kept changing: the check took %.2f s\n", count,
                took.count());
    return took.count();
  };
  double few = check_of(25);
  double many = check_of(100);
  stop.store(true);
  toucher.join();
  EXPECT_LT(many, 2 * few);
}

// An image rewritten in place (the same size, one pwrite a version) while
// runs read it: each run catalogues one of its versions or stops with "the
// image changed while it was read", never a width of both. The kernel sets
// the times when a write begins, before its data is copied.
TEST_F(FaultTest, ImageRewrittenInPlaceIsNeverCataloguedMixed) {
  // Kept open and copied, under the longest; across a page's end, as a
  // read that meets the write half done would see it.
  const size_t digits = 4000;
  auto version = [&](char digit) {
    return std::string(2048, ' ') + "<svg width=\"" +
           std::string(digits, digit) + ".5\">";
  };
  AddImage("5.svg", version('7'));
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    int fd = ::open((images_ / "5.svg").c_str(), O_WRONLY | O_CLOEXEC);
    const std::string versions[] = {version('8'), version('7')};
    // Bursts of rewrites, and pauses in which a run may read a version.
    std::minstd_rand random;
    for (int i = 0; !stop.load(); ++i) {
      const std::string& v = versions[i % 2];
      EXPECT_EQ(::pwrite(fd, v.data(), v.size(), 0), ssize_t(v.size()));
      if (random() % 1000 == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 300));
      }
    }
    ::close(fd);
  });
  int mixed = 0, whole = 0, changed = 0;
  auto started = std::chrono::steady_clock::now();
  for (int run = 0; run < 300 && std::chrono::steady_clock::now() - started <
                                     std::chrono::seconds(15);
       ++run) {
    Outcome outcome = StartWith({"-j4"});
    if (outcome.exit_status != 0) {
      EXPECT_EQ(outcome.err, "tevgen: " + images_ / "5.svg" +
                                 ": the image changed while it was read\n");
      ++changed;
      continue;
    }
    std::string catalogue_bytes = ReadBytes(catalogue());
    size_t w = catalogue_bytes.find(" w=\"");
    ASSERT_NE(w, std::string::npos);
    std::string width = catalogue_bytes.substr(w + 4, digits);
    bool one_version =
        width == std::string(digits, '7') || width == std::string(digits, '8');
    ++(one_version ? whole : mixed);
  }
  stop.store(true);
  writer.join();
  std::printf("%d runs of one version, %d stopped, %d mixed\n", whole, changed,
              mixed);
  EXPECT_EQ(mixed, 0);
}

}  // namespace
}  // namespace tevgen
