#include "app/form1.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "app/catalogue_record.h"
#include "platform/error.h"
#include "platform/fault_env.h"
#include "platform/memory_env.h"
#include "test/form1_test_peer.h"

namespace tevgen {

namespace {

constexpr std::string_view kHead =
    "<?xml version=\"1.0\" encoding=\"ISO-8859-1\" ?>\r\n<tevs>\r\n";
constexpr std::string_view kTail = "</tevs>\r\n";
constexpr std::string_view kOldCatalogue = "old catalogue\r\n";

std::string Record(std::string_view id, std::string_view category,
                   std::string_view w, std::string_view h) {
  return "  <tev id=\"" + std::string(id) + "\" displayed_name=\"" +
         std::string(category) + "\">\r\n" +
         "    <frame type=\"svg\" a=\"0\" x=\"0\" y=\"0\" w=\"" +
         std::string(w) + "\" h=\"" + std::string(h) + "\"/>\r\n  </tev>\r\n";
}

class Form1Test : public ::testing::Test {
 protected:
  Form1Test() { files_.AddDirectory("/pics"); }

  std::string Catalogue() {
    return files_.FileContents("/pics/tev.xml").value_or("<missing>");
  }

  // Runs and expects the run to fail with `message`, leaving the old
  // catalogue (or `catalogue`) and nothing staged.
  void ExpectFailure(std::string_view message,
                     std::string_view catalogue = kOldCatalogue) {
    files_.AddFile("/pics/tev.xml", std::string(kOldCatalogue));
    Form1 form(env_, "/pics");
    try {
      form.Form_Load();
      ADD_FAILURE() << "the run succeeded";
    } catch (const Error& e) {
      EXPECT_EQ(std::string(e.what()), message);
    }
    EXPECT_EQ(Catalogue(), catalogue);
    for (const std::string& name : files_.AllNames("/pics")) {
      EXPECT_NE(name[0], '.') << name;
    }
  }

  MemoryEnv files_;
  FaultEnv env_{files_};
};

TEST_F(Form1Test, EmptyFolderGivesThreeLines) {
  Form1 form(env_, "/pics");
  form.Form_Load();
  EXPECT_EQ(Catalogue(), std::string(kHead) + std::string(kTail));
  EXPECT_EQ(Form1::kCaption, "XML generieren");
}

TEST_F(Form1Test, RecordsInListOrderWithSizesAndCategories) {
  files_.AddFile("/pics/999.svg", R"(<svg width="10.5" height="20.5">)");
  files_.AddFile("/pics/1000.svg", R"(<svg width="64.0" height="48.5">)");
  files_.AddFile("/pics/0042.svg", "<svg>no size</svg>");
  files_.AddFile("/pics/6500.SVG", R"(<svg height="3.5">)");
  files_.AddFile("/pics/7.svg", R"(<svg width="1.5">)");
  files_.AddFile("/pics/07.svg", R"(<svg width="2.5">)");
  files_.AddFile("/pics/notes.txt", "ignored");
  files_.AddFile("/pics/tev.xml", "replaced");
  Form1 form(env_, "/pics");
  form.Form_Load();
  EXPECT_EQ(Catalogue(), std::string(kHead) + Record("42", "Smiley", "0", "0") +
                             Record("7", "Smiley", "20", "0") +
                             Record("1000", "Pfeile", "640", "480") +
                             Record("6500", "H\xE4user", "0", "30") +
                             Record("7", "Smiley", "10", "0") +
                             Record("999", "Bubbles", "100", "200") +
                             std::string(kTail));
}

TEST_F(Form1Test, NegativeNumbersGetNoCategory) {
  // The category of one image never carries over to the next.
  files_.AddFile("/pics/-1.svg", "");
  files_.AddFile("/pics/-2.svg", "");
  files_.AddFile("/pics/0.svg", "");
  Form1 form(env_, "/pics");
  form.Form_Load();
  EXPECT_EQ(Catalogue(), std::string(kHead) + Record("-1", "", "0", "0") +
                             Record("-2", "", "0", "0") +
                             Record("0", "Smiley", "0", "0") +
                             std::string(kTail));
}

// Removes one file right after the folder has been listed.
class VanishingEnv : public MemoryEnv {
 public:
  explicit VanishingEnv(std::string doomed) : doomed_(std::move(doomed)) {}
  std::unique_ptr<Folder> OpenFolder(const std::string& directory) override {
    class VanishingFolder : public Folder {
     public:
      VanishingFolder(VanishingEnv* env, std::unique_ptr<Folder> folder)
          : env_(env), folder_(std::move(folder)) {}
      std::vector<std::string> ListFiles(const NameFilter& keep) override {
        std::vector<std::string> names = folder_->ListFiles(keep);
        env_->RemoveFile(env_->doomed_);
        return names;
      }
      std::unique_ptr<RandomAccessFile> OpenFile(
          std::string_view name) override {
        return folder_->OpenFile(name);
      }
      std::unique_ptr<ReplacementFile> NewReplacementFile(
          const std::string& name) override {
        return folder_->NewReplacementFile(name);
      }

     private:
      VanishingEnv* env_;
      std::unique_ptr<Folder> folder_;
    };
    return std::make_unique<VanishingFolder>(this,
                                             MemoryEnv::OpenFolder(directory));
  }

 private:
  std::string doomed_;
};

TEST(Form1VanishedImageTest, ImageGoneSinceTheListingHasNoSize) {
  VanishingEnv env("/pics/2.svg");
  env.AddFile("/pics/1.svg", R"(<svg width="1.5">)");
  env.AddFile("/pics/2.svg", R"(<svg width="2.5">)");
  Form1 form(env, "/pics");
  form.Form_Load();
  EXPECT_EQ(env.FileContents("/pics/tev.xml"),
            std::string(kHead) + Record("1", "Smiley", "10", "0") +
                Record("2", "Smiley", "0", "0") + std::string(kTail));
}

TEST_F(Form1Test, HiddenImagesAreNotListed) {
  files_.AddFile("/pics/.5.svg", R"(<svg width="1.5">)");
  files_.AddFile("/pics/6.svg", "");
  Form1 form(env_, "/pics");
  form.Form_Load();
  EXPECT_EQ(Catalogue(), std::string(kHead) + Record("6", "Smiley", "0", "0") +
                             std::string(kTail));
}

TEST_F(Form1Test, LargeFoldersAreWrittenInPieces) {
  // More names than a 16-bit count holds, and a catalogue larger than one
  // write, must come out whole and in order.
  std::string expected(kHead);
  for (int i = 0; i < 40000; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "%05d.svg", i);
    files_.AddFile("/pics/" + std::string(name), "");
  }
  for (int i = 0; i < 40000; ++i) {
    expected += Record(std::to_string(i), CategoryOf(i), "0", "0");
  }
  expected += kTail;
  Form1 form(env_, "/pics");
  form.Form_Load();
  // Not EXPECT_EQ: a diff of two 4.7 MB strings would take gigabytes.
  std::string catalogue = Catalogue();
  auto [mismatch, ignored] = std::mismatch(catalogue.begin(), catalogue.end(),
                                           expected.begin(), expected.end());
  EXPECT_TRUE(catalogue == expected)
      << catalogue.size() << " bytes, expected " << expected.size()
      << "; first difference at byte " << (mismatch - catalogue.begin());
}

TEST_F(Form1Test, SizesTooLongToHoldAreCopiedFromTheImage) {
  // A value too long to keep in memory (past 1 KiB, within the longest
  // value: the width runs on to the height's ".") is copied from the image,
  // escaped, whatever the pieces the reads return.
  std::string amps(2000, '&');
  files_.AddFile("/pics/1.svg",
                 "<svg width=\"" + amps + "\" height=\"x" + amps + "<.5\">");
  std::string escaped;
  for (size_t i = 0; i < amps.size(); ++i) escaped += "&amp;";
  for (size_t chunk : {size_t{7}, size_t{1} << 20}) {
    env_.ShortReads(chunk);
    Form1 form(env_, "/pics", 3);
    form.Form_Load();
    EXPECT_TRUE(Catalogue() == std::string(kHead) +
                                   Record("1", "Smiley",
                                          escaped + "&quot; height=&quot;x" +
                                              escaped + "&lt;0",
                                          "x" + escaped + "&lt;0") +
                                   std::string(kTail));
  }
}

TEST_F(Form1Test, FirstFailureInListOrderIsReported) {
  // The first failing image is slow to read, the later ones fail at once:
  // the threads see the later failures first.
  env_.ShortReads(16);
  for (int i = 0; i < 300; ++i) {
    files_.AddFile("/pics/" + std::to_string(i) + ".svg", "");
  }
  files_.AddFile("/pics/0150.svg", std::string(200000, ' ') + " height=.5");
  files_.AddFile("/pics/151.svg", "");
  env_.FailOpen("/pics/151.svg");
  files_.AddFile("/pics/152x.svg", "");
  ExpectFailure(
      "/pics/0150.svg: the height attribute has \".\" right after \"=\", so "
      "its value cannot be read");
}

TEST_F(Form1Test, NameThatIsNotANumberStopsTheRun) {
  files_.AddFile("/pics/1.svg", "");
  files_.AddFile("/pics/logo.svg", "");
  ExpectFailure(
      "/pics/logo.svg: the file name is not an image number (only digits "
      "may stand before \".svg\")");
}

TEST_F(Form1Test, NumberOutOfRangeStopsTheRun) {
  files_.AddFile("/pics/2147483648.svg", "");
  ExpectFailure(
      "/pics/2147483648.svg: the image number is outside the range "
      "-2147483648 to 2147483647");
}

TEST_F(Form1Test, DotRightAfterEqualsStopsTheRun) {
  files_.AddFile("/pics/1.svg", "<svg height=.5>");
  ExpectFailure(
      "/pics/1.svg: the height attribute has \".\" right after \"=\", so its "
      "value cannot be read");
}

TEST_F(Form1Test, UnreadableImageStopsTheRun) {
  files_.AddFile("/pics/3.svg", "");
  env_.FailOpen("/pics/3.svg");
  ExpectFailure("/pics/3.svg: cannot open the file: Permission denied");
}

TEST_F(Form1Test, FullDiskStopsTheRun) {
  for (int i = 0; i < 5000; ++i) {
    files_.AddFile("/pics/" + std::to_string(i) + ".svg", "");
  }
  env_.FailWritesAfter(300 * 1024);
  ExpectFailure(
      "/pics/tev.xml: cannot write the catalogue: No space left on device");
}

// The platform's words for the file are retold as the catalogue's.
TEST_F(Form1Test, FailedCommitKeepsTheOldCatalogue) {
  const struct {
    FileAction action;
    std::string_view message;
    bool replaced = false;  // the step failed after the replacement
  } kCases[] = {
      {FileAction::kReplace,
       "/pics/tev.xml: cannot replace the catalogue: Input/output error"},
      {FileAction::kSync,
       "/pics/tev.xml: cannot write the catalogue to disk: Input/output "
       "error"},
      {FileAction::kSyncFolder,
       "/pics: the catalogue was replaced, but the folder could not be "
       "written to disk: Input/output error",
       true},
      {FileAction::kSetPermissions,
       "/pics/tev.xml: cannot set the catalogue's permissions: Input/output "
       "error"},
      {FileAction::kCreateIn,
       "/pics/tev.xml: cannot write a new catalogue in the folder: "
       "Input/output error"},
      {FileAction::kOpen,
       "/pics/tev.xml: cannot open the file: Input/output error"},
  };
  files_.AddFile("/pics/1.svg", "");
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.message);
    env_.FailCommit(c.action);
    ExpectFailure(c.message, c.replaced ? std::string(kHead) +
                                              Record("1", "Smiley", "0", "0") +
                                              std::string(kTail)
                                        : std::string(kOldCatalogue));
  }
}

TEST_F(Form1Test, FolderThatCannotBeListedStopsTheRun) {
  Form1 form(env_, "/nowhere");
  EXPECT_THROW(form.Form_Load(), Error);
  EXPECT_FALSE(files_.FileContents("/nowhere/tev.xml"));
}

TEST_F(Form1Test, ReadersOnTheWindow) {
  files_.AddFile("/pics/a.txt", "one\r\ntwo\r\n");
  Form1 form(env_, "/pics");
  EXPECT_EQ(form.txt_ReadAll("/pics/a.txt"), "one\r\ntwo\r\n");
  EXPECT_EQ(form.txt_ReadAll("/pics/none.txt"), "");
  EXPECT_EQ(form.txt_ReadLine("/pics/a.txt", 2), "two");
  EXPECT_EQ(form.txt_ReadLine("/pics/none.txt", 1), "");
}

TEST_F(Form1Test, TempFolderIsAskedForOnce) {
  Form1 form(env_, "/pics");
  EXPECT_EQ(Form1TestPeer::TempPath(form), "");
  std::string first = Form1TestPeer::GetTempFile(form);
  std::string second = Form1TestPeer::GetTempFile(form);
  EXPECT_NE(first, second);
  EXPECT_EQ(first.rfind("/tmp/txt", 0), 0u) << first;
  EXPECT_EQ(files_.FileContents(first), "");
  EXPECT_EQ(files_.FileContents(second), "");
  EXPECT_EQ(Form1TestPeer::TempPath(form), "/tmp/");
  EXPECT_EQ(env_.temp_directory_lookups(), 1);
}

TEST_F(Form1Test, FailedTempFolderLookupIsAskedAgain) {
  Form1 form(env_, "/pics");
  env_.FailTempDirectory(true);
  EXPECT_THROW(Form1TestPeer::GetTempFile(form), Error);
  EXPECT_EQ(Form1TestPeer::TempPath(form), "");
  env_.FailTempDirectory(false);
  EXPECT_EQ(Form1TestPeer::GetTempFile(form).rfind("/tmp/txt", 0), 0u);
  EXPECT_EQ(env_.temp_directory_lookups(), 2);
}

}  // namespace
}  // namespace tevgen
