// Windows-only behaviour of the Env: drive roots, file attributes, and the
// kernel32 temporary-file calls behind the main window's txt_GetTempFile.
#include "platform/env_windows.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

#include "app/form1.h"
#include "platform/env.h"
#include "platform/error.h"
#include "test/form1_test_peer.h"
#include "test/test_util.h"

namespace tevgen {
namespace {

namespace fs = std::filesystem;
using testing::ReadBytes;
using testing::TempDir;
using testing::WriteBytes;

bool AnyName(std::string_view) { return true; }

void SetAttributes(const std::string& path, DWORD attributes) {
  ASSERT_TRUE(::SetFileAttributesA(path.c_str(), attributes)) << path;
}

TEST(EnvWindowsTest, JoinPathUsesBackslashAndNoDoubleAtARoot) {
  Env& env = Env::Default();
  EXPECT_EQ(env.JoinPath("C:\\pics", "1.svg"), "C:\\pics\\1.svg");
  EXPECT_EQ(env.JoinPath("C:\\", "tev.xml"), "C:\\tev.xml");
  EXPECT_EQ(env.JoinPath("C:\\pics\\", "tev.xml"), "C:\\pics\\tev.xml");
  EXPECT_EQ(env.JoinPath("pics/", "tev.xml"), "pics/tev.xml");
}

// Each language's Windows id is the one Windows gives its code: the user
// whose interface is in it is spoken to in it.
TEST(EnvWindowsTest, LanguagesAreKnownByTheirWindowsIds) {
  for (const LanguageRow& row : kLanguages) {
    SCOPED_TRACE(row.code);
    LCID locale = ::LocaleNameToLCID(Widen(row.code).c_str(), 0);
    ASSERT_NE(locale, 0u);
    EXPECT_EQ(PRIMARYLANGID(LANGIDFROMLCID(locale)), row.windows_id);
  }
}

TEST(EnvWindowsTest, ProgramDirectoryHoldsTheExecutable) {
  wchar_t path[MAX_PATH];
  DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  ASSERT_GT(length, 0u);
  std::string directory = Env::Default().ProgramDirectory();
  EXPECT_TRUE(fs::is_directory(directory)) << directory;
  EXPECT_TRUE(fs::equivalent(fs::path(path).parent_path(), directory));
  EXPECT_NE(directory.back(), '\\');
}

TEST(EnvWindowsTest, HiddenAndSystemFilesAreNeitherListedNorRead) {
  TempDir dir;
  WriteBytes(dir / "1.svg", "one");
  WriteBytes(dir / "2.svg", "two");
  WriteBytes(dir / "3.svg", "three");
  SetAttributes(dir / "2.svg", FILE_ATTRIBUTE_HIDDEN);
  SetAttributes(dir / "3.svg", FILE_ATTRIBUTE_SYSTEM);
  EXPECT_EQ(Env::Default().ListFiles(dir.path().string(), AnyName),
            std::vector<std::string>{"1.svg"});
  EXPECT_NE(Env::Default().OpenFile(dir / "1.svg"), nullptr);
  EXPECT_EQ(Env::Default().OpenFile(dir / "2.svg"), nullptr);
  EXPECT_EQ(Env::Default().OpenFile(dir / "3.svg"), nullptr);
  EXPECT_EQ(Env::Default().OpenFile(dir / "NUL"), nullptr);
  SetAttributes(dir / "2.svg", FILE_ATTRIBUTE_NORMAL);
  SetAttributes(dir / "3.svg", FILE_ATTRIBUTE_NORMAL);
}

TEST(EnvWindowsTest, NamesBeyondAsciiAreListedAndReadAsUtf8) {
  TempDir dir;
  const std::u8string name = u8"Grüße-7.svg";
  std::string utf8(name.begin(), name.end());
  {
    std::FILE* file = ::_wfopen((dir.path() / name).c_str(), L"wb");
    ASSERT_NE(file, nullptr);
    std::fputs("<svg width=\"1.5\"/>", file);
    std::fclose(file);
  }
  EXPECT_EQ(Env::Default().ListFiles(dir.path().string(), AnyName),
            std::vector<std::string>{utf8});
  std::unique_ptr<RandomAccessFile> file = Env::Default().OpenFile(
      Env::Default().JoinPath(dir.path().string(), utf8));
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(testing::ReadInPieces(*file), "<svg width=\"1.5\"/>");
}

TEST(EnvWindowsTest, ReadOnlyCatalogueIsNotReplaced) {
  TempDir dir;
  WriteBytes(dir / "tev.xml", "old");
  SetAttributes(dir / "tev.xml", FILE_ATTRIBUTE_READONLY);
  EXPECT_THROW(
      Env::Default().NewReplacementFile(dir.path().string(), "tev.xml"), Error);
  EXPECT_EQ(ReadBytes(dir / "tev.xml"), "old");
  SetAttributes(dir / "tev.xml", FILE_ATTRIBUTE_NORMAL);
  EXPECT_EQ(testing::FolderListing(dir.path()), "tev.xml\n");
}

// The run's Folder holds its folder; where a folder above it may be
// renamed (not on NTFS, but under Wine and on some shares) and another put
// at the path, the Folder's listing and replacement, which join names to
// the path, refuse it rather than mix the two folders.
TEST(EnvWindowsTest, FolderPutInPlaceOfTheHeldOneIsRefused) {
  TempDir dir;
  fs::create_directories(dir.path() / "a/clip");
  WriteBytes(dir / "a/clip/1.svg", "opened");
  std::unique_ptr<Folder> folder =
      Env::Default().OpenFolder((dir.path() / "a/clip").string());
  std::error_code error;
  fs::rename(dir.path() / "a", dir.path() / "b", error);
  if (error) GTEST_SKIP() << "the system keeps a held folder's way: " << error;
  fs::create_directories(dir.path() / "a/clip");
  WriteBytes(dir / "a/clip/2.svg", "put in its place");
  for (int step = 0; step < 2; ++step) {
    try {
      if (step == 0) folder->ListFiles([](std::string_view) { return true; });
      if (step == 1) folder->NewReplacementFile("tev.xml");
      ADD_FAILURE() << "step " << step << " went on in another folder";
    } catch (const Error& e) {
      EXPECT_EQ(e.reason(),
                "another folder took the folder's place during the run");
    }
  }
  EXPECT_EQ(testing::FolderListing(dir.path() / "a/clip"), "2.svg\n");
}

DWORD AttributesOf(const std::string& path) {
  return ::GetFileAttributesA(path.c_str());
}

// The replacement file of `dir`\tev.xml that is being written, if any.
std::string StagedIn(const TempDir& dir) {
  for (const auto& entry : fs::directory_iterator(dir.path())) {
    std::string name = entry.path().filename().string();
    if (name.rfind(".tev.xml.", 0) == 0) return entry.path().string();
  }
  return "";
}

TEST(EnvWindowsTest, StagedFileIsHiddenAndTheCatalogueKeepsItsAttributes) {
  const struct {
    DWORD old_attributes;  // 0: no old catalogue
    DWORD new_hidden;
  } kCases[] = {
      {0, 0},
      {FILE_ATTRIBUTE_NORMAL, 0},
      {FILE_ATTRIBUTE_HIDDEN, FILE_ATTRIBUTE_HIDDEN},
      {FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM, FILE_ATTRIBUTE_HIDDEN},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.old_attributes);
    TempDir dir;
    if (c.old_attributes != 0) {
      WriteBytes(dir / "tev.xml", "old");
      SetAttributes(dir / "tev.xml", c.old_attributes);
    }
    auto file =
        Env::Default().NewReplacementFile(dir.path().string(), "tev.xml");
    file->Append("new");
    std::string staged = StagedIn(dir);
    ASSERT_FALSE(staged.empty());
    EXPECT_TRUE(AttributesOf(staged) & FILE_ATTRIBUTE_HIDDEN);
    file->Commit();
    EXPECT_EQ(ReadBytes(dir / "tev.xml"), "new");
    EXPECT_EQ(AttributesOf(dir / "tev.xml") & FILE_ATTRIBUTE_HIDDEN,
              c.new_hidden);
    EXPECT_EQ(StagedIn(dir), "");
    SetAttributes(dir / "tev.xml", FILE_ATTRIBUTE_NORMAL);
  }
}

// Another program (a viewer, a virus scanner) holds tev.xml or an image
// open without sharing: the replacement or the reading waits for it about
// two seconds, the staged file hidden all the while.
TEST(EnvWindowsTest, FileInUseIsReplacedWhenReleasedInTime) {
  const struct {
    std::string held;
    int held_ms;
    bool done;
  } kCases[] = {
      {"tev.xml", 500, true},
      {"tev.xml", 3000, false},
      {"1.svg", 500, true},
      {"1.svg", 3000, false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.held + " " + std::to_string(c.held_ms));
    bool image = c.held != "tev.xml";
    TempDir dir;
    WriteBytes(dir / "tev.xml", "old");
    WriteBytes(dir / "1.svg", "image");
    HANDLE held = ::CreateFileA((dir / c.held).c_str(), GENERIC_READ, 0,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    DWORD staged_while_held = FILE_ATTRIBUTE_HIDDEN;
    std::thread release([&] {
      ::Sleep(static_cast<DWORD>(c.held_ms));
      if (!image) staged_while_held = AttributesOf(StagedIn(dir));
      ::CloseHandle(held);
    });
    std::string error;
    try {
      if (image) {
        EXPECT_EQ(
            testing::ReadInPieces(*Env::Default().OpenFile(dir / "1.svg")),
            "image");
      } else {
        auto file =
            Env::Default().NewReplacementFile(dir.path().string(), "tev.xml");
        file->Append("new");
        file->Commit();
      }
    } catch (const Error& e) {
      error = e.reason();
    }
    release.join();
    EXPECT_TRUE(staged_while_held & FILE_ATTRIBUTE_HIDDEN);
    if (c.done) {
      EXPECT_EQ(error, "");
    } else {
      EXPECT_EQ(error, std::string(image ? "cannot open the file"
                                         : "cannot replace the file") +
                           ": the file is in use by another program");
    }
    EXPECT_EQ(ReadBytes(dir / "tev.xml"), c.done && !image ? "new" : "old");
    EXPECT_EQ(testing::FolderListing(dir.path()), "1.svg\ntev.xml\n");
  }
}

TEST(EnvWindowsTest, LeftoversOfKilledRunsGoButNotALiveRunsFile) {
  const std::string live_id = std::to_string(::GetCurrentProcessId());
  // A process id no process has (ids are multiples of 4).
  const std::string dead_id = "4294967293";
  const struct {
    std::string name;
    bool removed;
  } kCases[] = {
      {".tev.xml." + dead_id + ".0.tmp", true},
      {".tev.xml." + live_id + ".999.tmp", false},
      {".tev.xml.0.0.tmp", false},  // process 0 is the system's
      {".tev.xml.x.0.tmp", false},
      {".tev.xml." + dead_id + ".tmp", false},
      {".tev.xml." + dead_id + ".0.1.tmp", false},
      {".tev.xml.0" + dead_id + ".0.tmp", false},
      {".tev.xml.99999999999.0.tmp", false},
  };
  TempDir dir;
  for (const auto& c : kCases) WriteBytes(dir / c.name, "left");
  auto file = Env::Default().NewReplacementFile(dir.path().string(), "tev.xml");
  file->Commit();
  for (const auto& c : kCases) {
    EXPECT_EQ(fs::exists(dir / c.name), !c.removed) << c.name;
    fs::remove(dir / c.name);
  }
}

// Double-clicked, tevgen.com is alone on the console Windows made for it;
// started from a prompt, it shares the prompt's.
TEST(EnvWindowsTest, AloneOnConsoleOnlyWithAConsoleOfItsOwn) {
  ::FreeConsole();
  EXPECT_FALSE(AloneOnConsole());
  ASSERT_TRUE(::AllocConsole());
  EXPECT_TRUE(AloneOnConsole());
  // A cmd on the same console, waiting for input that never comes.
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE input_read, input_write;
  ASSERT_TRUE(::CreatePipe(&input_read, &input_write, &inherit, 0));
  ::SetHandleInformation(input_write, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input_read;
  startup.hStdOutput = ::GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION child;
  wchar_t command[] = L"cmd.exe /q /k";
  ASSERT_TRUE(::CreateProcessW(nullptr, command, nullptr, nullptr, TRUE, 0,
                               nullptr, nullptr, &startup, &child));
  // Until it has attached: a bounded wait, not a timed assertion.
  for (int i = 0; i < 500 && AloneOnConsole(); ++i) ::Sleep(10);
  EXPECT_FALSE(AloneOnConsole());
  ::CloseHandle(input_write);
  if (::WaitForSingleObject(child.hProcess, 10000) != WAIT_OBJECT_0) {
    ::TerminateProcess(child.hProcess, 1);
  }
  ::CloseHandle(child.hProcess);
  ::CloseHandle(child.hThread);
  ::CloseHandle(input_read);
  ::FreeConsole();
}

// Points the system's temporary folder (GetTempPathA reads TMP first) at
// `folder` for the life of the object.
class ScopedTmp {
 public:
  explicit ScopedTmp(const std::string& folder) {
    const char* old = std::getenv("TMP");
    had_old_ = old != nullptr;
    if (had_old_) old_ = old;
    ::_putenv_s("TMP", folder.c_str());
  }
  ~ScopedTmp() { ::_putenv_s("TMP", had_old_ ? old_.c_str() : ""); }

 private:
  bool had_old_ = false;
  std::string old_;
};

TEST(GetTempFileTest, TwoCallsGiveTwoEmptyFilesInTheTempFolder) {
  TempDir temp;
  ScopedTmp tmp(temp.path().string());
  Form1 form(Env::Default(), ".");
  std::string first = Form1TestPeer::GetTempFile(form);
  std::string second = Form1TestPeer::GetTempFile(form);
  EXPECT_NE(first, second);
  for (const std::string& path : {first, second}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(path.find('\0'), std::string::npos);
    EXPECT_NE(path.back(), ' ');
    EXPECT_TRUE(fs::is_regular_file(path));
    EXPECT_EQ(fs::file_size(path), 0u);
    EXPECT_TRUE(fs::equivalent(fs::path(path).parent_path(), temp.path()));
    std::string name = fs::path(path).filename().string();
    EXPECT_EQ(name.rfind("txt", 0), 0u);
  }
  // sTempPath holds the folder as GetTempPathA gave it, with its backslash.
  const std::string& temp_path = Form1TestPeer::TempPath(form);
  ASSERT_FALSE(temp_path.empty());
  EXPECT_EQ(temp_path.back(), '\\');
  EXPECT_TRUE(fs::equivalent(fs::path(temp_path).parent_path(), temp.path()));
}

// With the manifest's UTF-8 code page the ANSI calls take a folder named
// beyond the Western code page, as a user's temporary folder often is.
TEST(GetTempFileTest, TempFolderNamedBeyondTheCodePage) {
  TempDir temp;
  const std::u8string name = u8"\u0141ukasz";  // Łukasz
  fs::path folder = temp.path() / name;
  fs::create_directory(folder);
  std::string utf8(name.begin(), name.end());
  ScopedTmp tmp(temp.path().string() + "\\" + utf8);
  Form1 form(Env::Default(), ".");
  std::string path = Form1TestPeer::GetTempFile(form);
  EXPECT_NE(path.find(utf8), std::string::npos) << path;
  EXPECT_EQ(
      std::distance(fs::directory_iterator(folder), fs::directory_iterator()),
      1);
}

TEST(GetTempFileTest, TheTempFolderIsAskedForOnce) {
  TempDir first_temp;
  TempDir second_temp;
  Form1 form(Env::Default(), ".");
  std::string first;
  {
    ScopedTmp tmp(first_temp.path().string());
    first = Form1TestPeer::GetTempFile(form);
  }
  ScopedTmp tmp(second_temp.path().string());
  std::string second = Form1TestPeer::GetTempFile(form);
  EXPECT_TRUE(
      fs::equivalent(fs::path(second).parent_path(), first_temp.path()));
  EXPECT_TRUE(fs::is_empty(second_temp.path()));
}

TEST(GetTempFileTest, MissingTempFolderIsAClearError) {
  TempDir temp;
  ScopedTmp tmp((temp / "missing") + "\\");
  Form1 form(Env::Default(), ".");
  try {
    Form1TestPeer::GetTempFile(form);
    ADD_FAILURE() << "created a file";
  } catch (const Error& e) {
    EXPECT_NE(e.reason().find("cannot create a temporary file"),
              std::string::npos)
        << e.what();
  }
}

}  // namespace
}  // namespace tevgen
