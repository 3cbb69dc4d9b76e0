// Linux-only behaviour of the Env: links, FIFOs, permissions, other users.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <thread>

#include "platform/env.h"
#include "platform/error.h"
#include "test/test_util.h"
#include "test/unprivileged.h"

namespace tevgen {
namespace {

namespace fs = std::filesystem;
using testing::FolderListing;
using testing::ReadBytes;
using testing::TempDir;
using testing::WriteBytes;

bool AnyName(std::string_view) { return true; }

mode_t ModeOf(const std::string& path) {
  struct stat st;
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

// Runs `check` in a child process as an unprivileged user (root would pass
// every permission test) and returns its exit status.
int RunUnprivileged(const std::function<int()>& check) {
  pid_t pid = ::fork();
  if (pid == 0) {
    if (!testing::DropPrivileges()) ::_exit(100);
    int status;
    try {
      status = check();
    } catch (...) {
      status = 101;
    }
    ::_exit(status);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 102;
}

TEST(EnvLinuxTest, ProgramDirectoryHoldsTheExecutable) {
  EXPECT_EQ(Env::Default().ProgramDirectory(),
            fs::read_symlink("/proc/self/exe").parent_path().string());
}

TEST(EnvLinuxTest, JoinPathDoesNotDoubleTheSeparator) {
  EXPECT_EQ(Env::Default().JoinPath("/pics", "1.svg"), "/pics/1.svg");
  EXPECT_EQ(Env::Default().JoinPath("/pics/", "1.svg"), "/pics/1.svg");
  EXPECT_EQ(Env::Default().JoinPath("/", "tev.xml"), "/tev.xml");
  EXPECT_EQ(Env::Default().JoinPath("pics", "tev.xml"), "pics/tev.xml");
}

TEST(EnvLinuxTest, ListingFollowsLinksAndLeavesOutWhatIsNotAFile) {
  TempDir dir;
  WriteBytes(dir / "1.svg", "");
  fs::create_symlink(dir / "1.svg", dir.path() / "2.svg");
  fs::create_symlink(dir / "gone.svg", dir.path() / "3.svg");
  fs::create_directory(dir.path() / "sub");
  fs::create_directory_symlink(dir.path() / "sub", dir.path() / "4.svg");
  ASSERT_EQ(::mkfifo((dir / "5.svg").c_str(), 0600), 0);
  std::vector<std::string> names =
      Env::Default().ListFiles(dir.path().string(), AnyName);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"1.svg", "2.svg"}));
}

// Names whose ways meet at one link are listed by the whole of their way:
// through a chain of 39 links to a file, a link to the chain makes 40 links
// (the most followed, listed) and a link to that link 41 (not listed),
// whichever the listing came to first.
TEST(EnvLinuxTest, ListingTellsApartNamesThatMeetAtOneLink) {
  TempDir dir;
  WriteBytes(dir / "f", "<svg/>");
  std::string before = "f";
  for (int i = 1; i <= 39; ++i) {
    std::string link = std::to_string(i).insert(0, 1, 'k');
    fs::create_symlink(before, dir / link);
    before = link;
  }
  fs::create_symlink("k39", dir / "x");
  std::vector<std::string> expected;
  for (int i = 0; i < 20; ++i) {
    fs::create_symlink("k39", dir / (std::to_string(i) + "a.svg"));
    fs::create_symlink("x", dir / (std::to_string(i) + "b.svg"));
    expected.push_back(std::to_string(i) + "a.svg");
  }
  std::vector<std::string> names = Env::Default().ListFiles(
      dir.path().string(),
      [](std::string_view n) { return n.ends_with(".svg"); });
  std::sort(names.begin(), names.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(names, expected);
}

TEST(EnvLinuxTest, ReadersTreatSpecialFilesAsMissing) {
  TempDir dir;
  ASSERT_EQ(::mkfifo((dir / "fifo.svg").c_str(), 0600), 0);
  fs::create_symlink(dir / "gone.svg", dir.path() / "dangling.svg");
  fs::create_symlink(dir / "loop.svg", dir.path() / "loop.svg");
  for (const char* name : {"fifo.svg", "dangling.svg", "loop.svg"}) {
    SCOPED_TRACE(name);
    // A FIFO must not block the reader.
    EXPECT_EQ(Env::Default().OpenFile(dir / name), nullptr);
  }
  EXPECT_EQ(Env::Default().OpenFile("/dev/null"), nullptr);
}

// A "." in a link's target costs the walk nothing, and means what it
// means to the kernel.
TEST(EnvLinuxTest, DotsInLinkTargetsReadAsTheKernelReadsThem) {
  TempDir dir;
  WriteBytes(dir / "1.svg", "one");
  fs::create_directory(dir.path() / "d");
  std::string many_dots;
  for (int i = 0; i < 1900; ++i) many_dots += "./";
  const struct {
    std::string target;
    bool reads;
  } kCases[] = {
      {"./1.svg", true},
      {"././/./1.svg", true},
      {many_dots + "1.svg", true},
      {"d/./../1.svg", true},
      {"1.svg/.", false},
      {"1.svg/./", false},
      {"./d/.", false},
      {".", false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.target.substr(0, 20));
    fs::remove(dir.path() / "l.svg");
    fs::create_symlink(c.target, dir.path() / "l.svg");
    EXPECT_EQ(Env::Default().OpenFile(dir / "l.svg") != nullptr, c.reads);
  }
}

TEST(EnvLinuxTest, FolderReadsLikeThePathReaders) {
  TempDir dir;
  testing::OpenToEveryone(dir.path());
  ASSERT_EQ(::mkfifo((dir / "fifo.svg").c_str(), 0600), 0);
  fs::create_symlink(dir / "gone.svg", dir.path() / "dangling.svg");
  WriteBytes(dir / "secret.svg", "x");
  fs::permissions(dir / "secret.svg", fs::perms(0));
  std::unique_ptr<Folder> folder =
      Env::Default().OpenFolder(dir.path().string() + "/");
  EXPECT_EQ(folder->OpenFile("fifo.svg"), nullptr);
  EXPECT_EQ(folder->OpenFile("dangling.svg"), nullptr);
  std::string secret = dir / "secret.svg";
  int status = RunUnprivileged([&] {
    try {
      folder->OpenFile("secret.svg");
    } catch (const Error& e) {
      return e.path() == secret ? 0 : 1;
    }
    return 2;
  });
  EXPECT_EQ(status, 0) << "the error must name the file's full path";
}

TEST(EnvLinuxTest, ReplacementKeepsThePermissionsOfTheOldFile) {
  TempDir dir;
  WriteBytes(dir / "tev.xml", "old");
  fs::permissions(dir / "tev.xml", fs::perms(0640));
  auto file = Env::Default().NewReplacementFile(dir.path().string(), "tev.xml");
  file->Commit();
  EXPECT_EQ(ModeOf(dir / "tev.xml"), 0640u);
}

// An old catalogue this large has its cached pages dropped during the run,
// by a thread: it stays whole until the commit, and a run that fails keeps it.
TEST(EnvLinuxTest, LargeOldCatalogueStaysUntilTheCommit) {
  const std::string old(size_t{4} << 20, 'o');
  for (bool commit : {false, true}) {
    TempDir dir;
    WriteBytes(dir / "tev.xml", old);
    auto file =
        Env::Default().NewReplacementFile(dir.path().string(), "tev.xml");
    file->Append("new");
    EXPECT_EQ(ReadBytes(dir / "tev.xml"), old);
    if (commit) file->Commit();
    file.reset();
    EXPECT_EQ(ReadBytes(dir / "tev.xml"), commit ? "new" : old);
    EXPECT_EQ(FolderListing(dir.path()), "tev.xml\n");
  }
}

// A catalogue that is a link, for example into the gallery's own folder, is
// replaced where the link points, as writing through the link would: the link
// stays and the gallery sees the new catalogue.
TEST(EnvLinuxTest, LinkedCatalogueIsReplacedWhereItPoints) {
  for (const char* link_text : {"gallery/catalogue.xml", "ABSOLUTE"}) {
    SCOPED_TRACE(link_text);
    TempDir images;
    TempDir root;
    fs::create_directory(root.path() / "gallery");
    std::string real = root / "gallery/catalogue.xml";
    WriteBytes(real, "old");
    fs::permissions(real, fs::perms(0604));
    fs::path link = images.path() / "tev.xml";
    if (std::string_view(link_text) == "ABSOLUTE") {
      fs::create_symlink(real, link);
    } else {
      // A relative link, reached through a second link in the same folder.
      fs::create_directory_symlink(root.path() / "gallery",
                                   images.path() / "gallery");
      fs::create_symlink(link_text, link);
    }

    auto file =
        Env::Default().NewReplacementFile(images.path().string(), "tev.xml");
    file->Append("new");
    file->Commit();

    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(ReadBytes(real), "new");
    EXPECT_EQ(ModeOf(real), 0604u);
    EXPECT_EQ(FolderListing(root.path() / "gallery"), "catalogue.xml\n");
  }
}

TEST(EnvLinuxTest, UncommittedReplacementThroughALinkLeavesNothing) {
  TempDir images;
  TempDir gallery;
  WriteBytes(gallery / "catalogue.xml", "old");
  fs::create_symlink(gallery / "catalogue.xml", images.path() / "tev.xml");
  {
    auto file =
        Env::Default().NewReplacementFile(images.path().string(), "tev.xml");
    file->Append("half");
  }
  EXPECT_EQ(ReadBytes(gallery / "catalogue.xml"), "old");
  EXPECT_EQ(FolderListing(gallery.path()), "catalogue.xml\n");
  EXPECT_EQ(FolderListing(images.path()), "tev.xml\n");
}

// A link set up before the first run points at a file that does not exist
// yet; the catalogue is created there.
TEST(EnvLinuxTest, LinkToAFileNotYetThereCreatesIt) {
  TempDir dir;
  fs::create_directory(dir.path() / "gallery");
  fs::create_symlink("gallery/tev.xml", dir.path() / "tev.xml");
  auto file = Env::Default().NewReplacementFile(dir.path().string(), "tev.xml");
  file->Append("new");
  file->Commit();
  EXPECT_TRUE(fs::is_symlink(dir.path() / "tev.xml"));
  EXPECT_EQ(ReadBytes(dir / "gallery/tev.xml"), "new");
  EXPECT_EQ(FolderListing(dir.path() / "gallery"), "tev.xml\n");
}

// The staged file of a catalogue with the longest name a folder allows
// still fits; a leftover of it goes, a file that only looks alike stays.
TEST(EnvLinuxTest, LongestNameGetsAStagedFileAndItsLeftoversGo) {
  TempDir dir;
  std::string name(NAME_MAX - 5, 'x');
  std::string staged_prefix = "." + std::string(NAME_MAX - 8, 'x') + ".";
  WriteBytes(dir / (staged_prefix + "Left01"), "killed run's");
  WriteBytes(dir / (staged_prefix + "Left-1"), "not a staged name");
  auto file = Env::Default().NewReplacementFile(dir.path().string(), name);
  file->Append("new");
  file->Commit();
  EXPECT_EQ(ReadBytes(dir / name), "new");
  EXPECT_EQ(FolderListing(dir.path()),
            staged_prefix + "Left-1\n" + name + "\n");
  // Through a link from tev.xml the long name's staged file fits too, but
  // the leftovers of another name are not tev.xml's to remove.
  fs::create_symlink(name, dir.path() / "tev.xml");
  WriteBytes(dir / (staged_prefix + "Left02"), "not tev.xml's");
  file = Env::Default().NewReplacementFile(dir.path().string(), "tev.xml");
  file->Append("newer");
  file->Commit();
  EXPECT_EQ(ReadBytes(dir / name), "newer");
  EXPECT_TRUE(fs::exists(dir / (staged_prefix + "Left02")));
}

// Leftovers go whether the folder's listing saw them (the replacement then
// lists no more) or came after them.
TEST(EnvLinuxTest, LeftoversGoWhetherTheListingSawThemOrNot) {
  for (bool changed_after_listing : {false, true}) {
    SCOPED_TRACE(changed_after_listing);
    TempDir dir;
    WriteBytes(dir / ".tev.xml.Left01", "killed run's");
    Env::Default().ListFiles(dir.path().string(),
                             [](std::string_view) { return true; });
    if (changed_after_listing) WriteBytes(dir / ".tev.xml.Left02", "later");
    auto file =
        Env::Default().NewReplacementFile(dir.path().string(), "tev.xml");
    file->Commit();
    EXPECT_EQ(FolderListing(dir.path()), "tev.xml\n");
  }
}

TEST(EnvLinuxTest, LinksThatLeadNowhereAreErrors) {
  struct Case {
    const char* link_text;
    const char* reason;
    const char* named;  // what the message names, in the folder
  };
  for (const Case& c :
       {Case{"no-such-folder/tev.xml", "No such file", "no-such-folder"},
        Case{"tev.xml", "Too many levels of symbolic links", "tev.xml"}}) {
    SCOPED_TRACE(c.link_text);
    TempDir dir;
    fs::create_symlink(c.link_text, dir.path() / "tev.xml");
    try {
      Env::Default().NewReplacementFile(dir.path().string(), "tev.xml");
      ADD_FAILURE() << "no error";
    } catch (const Error& e) {
      EXPECT_NE(std::string(e.what()).find(c.reason), std::string::npos)
          << e.what();
      EXPECT_EQ(e.path(), dir / c.named);
    }
    EXPECT_TRUE(fs::is_symlink(dir.path() / "tev.xml"));
    EXPECT_EQ(FolderListing(dir.path()), "tev.xml\n");
  }
}

TEST(EnvLinuxTest, FirstCatalogueGetsTheUsualModeLessTheUmask) {
  for (mode_t mask : {022, 077, 002}) {
    SCOPED_TRACE(mask);
    TempDir dir;
    mode_t old_mask = ::umask(mask);
    auto file =
        Env::Default().NewReplacementFile(dir.path().string(), "tev.xml");
    file->Commit();
    ::umask(old_mask);
    EXPECT_EQ(ModeOf(dir / "tev.xml"), 0666u & ~mask);
  }
}

TEST(EnvLinuxTest, ReadOnlyCatalogueIsNotReplaced) {
  TempDir dir;
  testing::OpenToEveryone(dir.path());
  WriteBytes(dir / "tev.xml", "old");
  fs::permissions(dir / "tev.xml", fs::perms(0444));
  std::string folder = dir.path().string();
  int status = RunUnprivileged([&] {
    try {
      Env::Default().NewReplacementFile(folder, "tev.xml");
    } catch (const Error& e) {
      return e.path() == folder + "/tev.xml" ? 0 : 1;
    }
    return 2;
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(ReadBytes(dir / "tev.xml"), "old");
  EXPECT_EQ(FolderListing(dir.path()), "tev.xml\n");
}

TEST(EnvLinuxTest, ReadOnlyFolderNamesTheFolder) {
  TempDir dir;
  fs::permissions(dir.path(), fs::perms(0555));
  std::string folder = dir.path().string();
  int status = RunUnprivileged([&] {
    try {
      Env::Default().NewReplacementFile(folder, "tev.xml");
    } catch (const Error& e) {
      return e.path() == folder ? 0 : 1;
    }
    return 2;
  });
  EXPECT_EQ(status, 0);
  fs::permissions(dir.path(), fs::perms(0755));
}

TEST(EnvLinuxTest, UnreadableFileIsAnErrorNotAMissingFile) {
  TempDir dir;
  testing::OpenToEveryone(dir.path());
  WriteBytes(dir / "1.svg", "secret");
  fs::permissions(dir / "1.svg", fs::perms(0));
  std::string path = dir / "1.svg";
  int status = RunUnprivileged([&] {
    try {
      Env::Default().OpenFile(path);
    } catch (const Error& e) {
      return e.path() == path ? 0 : 1;
    }
    return 2;
  });
  EXPECT_EQ(status, 0);
}

// The path reader takes the careful way on every system: a second name of
// root's file in another user's folder is refused, however it is reached.
TEST(EnvLinuxTest, HardLinkInAnotherUsersFolderIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "another user's folder needs root";
  TempDir dir;
  WriteBytes(dir / "secret", "x");
  fs::permissions(dir / "secret", fs::perms(0600));
  fs::create_directory(dir.path() / "theirs");
  ASSERT_EQ(::chown((dir / "theirs").c_str(), testing::kNobody, 0), 0);
  fs::create_hard_link(dir / "secret", dir.path() / "theirs/1.svg");
  for (const char* path : {"theirs/1.svg", "theirs/../theirs/1.svg"}) {
    try {
      Env::Default().OpenFile(dir / path);
      ADD_FAILURE() << path << " opened";
    } catch (const Error& e) {
      EXPECT_EQ(e.reason(), "not following a hard link to a file of user 0");
    }
  }
}

// In a folder everybody writes, the file judged when the run began may be
// gone by its end and another user's in its place: that one is not
// replaced, whether a file or nothing was there at first.
TEST(EnvLinuxTest, AnotherUsersFileSwappedInIsNotReplaced) {
  if (::geteuid() != 0) GTEST_SKIP() << "another user's file needs root";
  TempDir dir;
  fs::permissions(dir.path(), fs::perms(01777));
  for (bool old_there : {true, false}) {
    SCOPED_TRACE(old_there ? "old file" : "no file");
    if (old_there) WriteBytes(dir / "tev.xml", "root's");
    auto file =
        Env::Default().NewReplacementFile(dir.path().string(), "tev.xml");
    file->Append("new");
    fs::remove(dir / "tev.xml");
    WriteBytes(dir / "tev.xml", "theirs");
    ASSERT_EQ(::chown((dir / "tev.xml").c_str(), testing::kNobody, 0), 0);
    EXPECT_THROW(file->Commit(), Error);
    file.reset();
    EXPECT_EQ(ReadBytes(dir / "tev.xml"), "theirs");
    EXPECT_EQ(FolderListing(dir.path()), "tev.xml\n");
    fs::remove(dir / "tev.xml");
  }
}

// A folder swapped into the folder's place after the run opened it is
// never mixed in: the run's Folder lists, reads and replaces the folder it
// opened, now under the other name.
TEST(EnvLinuxTest, FolderSwappedAfterOpeningIsNeverMixedIn) {
  TempDir dir;
  fs::create_directory(dir.path() / "a");
  fs::create_directory(dir.path() / "b");
  WriteBytes(dir / "a/1.svg", "opened");
  WriteBytes(dir / "b/2.svg", "swapped in");
  std::string a = dir / "a";
  std::unique_ptr<Folder> folder = Env::Default().OpenFolder(a);
  ASSERT_EQ(::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, (dir / "b").c_str(),
                        RENAME_EXCHANGE),
            0);
  EXPECT_EQ(folder->ListFiles([](std::string_view) { return true; }),
            std::vector<std::string>{"1.svg"});
  EXPECT_EQ(folder->OpenFile("2.svg"), nullptr);
  folder->NewReplacementFile("tev.xml")->Commit();
  EXPECT_EQ(FolderListing(dir.path() / "a"), "2.svg\n");
  EXPECT_EQ(FolderListing(dir.path() / "b"), "1.svg\ntev.xml\n");
}

// Through a folder everybody writes, without the sticky bit, a link's way
// may have been changed by anybody (its folders swapped): the catalogue is
// not written there.
TEST(EnvLinuxTest, LinkThroughAFolderEverybodyWritesIsNotFollowedToWrite) {
  TempDir dir;
  fs::create_directories(dir.path() / "team/pub");
  fs::permissions(dir.path() / "team", fs::perms(0777));
  fs::create_directory(dir.path() / "clip");
  fs::create_symlink("../team/pub/tev.xml", dir.path() / "clip/tev.xml");
  EXPECT_THROW(Env::Default().NewReplacementFile(dir / "clip", "tev.xml"),
               Error);
  EXPECT_EQ(FolderListing(dir.path() / "team/pub"), "");
}

// A started thread may run wherever its starter may, also after it has
// been moved off the starter's processor; a starter held to one processor
// still gets its thread. What it opens is its own.
TEST(EnvLinuxTest, StartedThreadKeepsTheProcessorsItMayRunOnAndItsFiles) {
  cpu_set_t all, one;
  ASSERT_EQ(::sched_getaffinity(0, sizeof all, &all), 0);
  CPU_ZERO(&one);
  CPU_SET(::sched_getcpu(), &one);
  for (const cpu_set_t& starter : {all, one}) {
    std::thread([&] {
      ASSERT_EQ(::sched_setaffinity(0, sizeof starter, &starter), 0);
      cpu_set_t seen;
      CPU_ZERO(&seen);
      int opened = -1;
      StartThread([&] {
        ::sched_getaffinity(0, sizeof seen, &seen);
        opened = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
      }).join();
      EXPECT_TRUE(CPU_EQUAL(&seen, &starter))
          << CPU_COUNT(&seen) << " of " << CPU_COUNT(&starter);
      ASSERT_GE(opened, 0);
#if !defined(__SANITIZE_THREAD__)  // the table is shared there
      EXPECT_EQ(::fcntl(opened, F_GETFD), -1) << "open on the starter too";
#else
      ::close(opened);
#endif
    }).join();
  }
}

TEST(EnvLinuxTest, TempDirectoryComesFromTmpdir) {
  const char* saved = std::getenv("TMPDIR");
  std::string restore = saved ? saved : "";
  ::setenv("TMPDIR", "/var/tmp", 1);
  EXPECT_EQ(Env::Default().TempDirectory(), "/var/tmp/");
  ::setenv("TMPDIR", "/srv/tmp/", 1);
  EXPECT_EQ(Env::Default().TempDirectory(), "/srv/tmp/");
  ::setenv("TMPDIR", "", 1);
  EXPECT_EQ(Env::Default().TempDirectory(), "/tmp/");
  ::unsetenv("TMPDIR");
  EXPECT_EQ(Env::Default().TempDirectory(), "/tmp/");
  if (saved) ::setenv("TMPDIR", restore.c_str(), 1);
}

TEST(EnvLinuxTest, UniqueFilesAreCreatedPrivately) {
  TempDir dir;
  std::string path = Env::Default().CreateUniqueFile(dir / "", "txt");
  EXPECT_EQ(ModeOf(path), 0600u);
}

}  // namespace
}  // namespace tevgen
