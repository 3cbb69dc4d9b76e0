#include "app/check.h"

#include <gtest/gtest.h>

#include "app/form1.h"
#include "platform/error.h"
#include "platform/fault_env.h"
#include "platform/memory_env.h"

namespace tevgen {
namespace {

using Kind = FindingKind;

TEST(CheckTest, SizeProblems) {
  const struct {
    SizeScan scan;
    std::vector<std::string> pieces;  // the value, as it arrives
    std::optional<MessageId> message;
    std::string english = "";
  } kCases[] = {
      {SizeScan::kFound, {"210"}, std::nullopt},
      {SizeScan::kFound, {"0001"}, std::nullopt},
      {SizeScan::kFound, {"2147", "48364"}, std::nullopt},
      {SizeScan::kFound, {"0", "214748364"}, std::nullopt},
      {SizeScan::kNotFound,
       {},
       MessageId::kCheckNoSize,
       "there is no width (\" width=\", a space before it): the catalogue "
       "writes 0"},
      {SizeScan::kNoDot, {}, MessageId::kCheckSizeWithoutDot},
      {SizeScan::kFound, {""}, MessageId::kCheckSizeZero},
      {SizeScan::kFound,
       {"0"},
       MessageId::kCheckSizeZero,
       "the width is 0 once cut at its \".\" (\"0\"): the gallery shows the "
       "image at size 0"},
      {SizeScan::kFound, {"00", "0"}, MessageId::kCheckSizeZero},
      {SizeScan::kFound,
       {"100%"},
       MessageId::kCheckSizeNotANumber,
       "the width is not a plain number once cut at its \".\": \"100%\""},
      {SizeScan::kFound, {"-5"}, MessageId::kCheckSizeNotANumber},
      {SizeScan::kFound,
       {std::string("1\0", 2)},
       MessageId::kCheckSizeNotANumber},
      {SizeScan::kFound,
       {"406\" xmlns=\"http://www"},
       MessageId::kCheckSizeRanOn,
       "the width has no \".\" of its own, so its value runs on into the "
       "text: \"406\\\" xmlns=\\\"http://www\""},
      {SizeScan::kFound, {"1 2"}, MessageId::kCheckSizeRanOn},
      {SizeScan::kFound, {"1", "\n<g x="}, MessageId::kCheckSizeRanOn},
      // Beyond 2147483647 with the catalogue's "0" after it.
      {SizeScan::kFound,
       {"214748365"},
       MessageId::kCheckSizeTooLarge,
       "the width \"214748365\" is too large: with the catalogue's \"0\" "
       "after it, it is beyond 2147483647"},
      {SizeScan::kFound, {"0000", "1000000000"}, MessageId::kCheckSizeTooLarge},
      {SizeScan::kFound,
       {std::string(100000, '9')},
       MessageId::kCheckSizeTooLarge},
      // Long values are shown by their first bytes.
      {SizeScan::kFound,
       {std::string(50, 'a')},
       MessageId::kCheckSizeNotANumber,
       "the width is not a plain number once cut at its \".\": \"" +
           std::string(40, 'a') + "\"..."},
      // ...cut before a character, not inside it (U+00E4 at bytes 40, 41).
      {SizeScan::kFound,
       {std::string(39, 'a') + "\xC3\xA4 and more"},
       MessageId::kCheckSizeRanOn,
       "the width has no \".\" of its own, so its value runs on into the "
       "text: \"" +
           std::string(39, 'a') + "\"..."},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(::testing::PrintToString(c.pieces));
    SizeValue value;
    for (const std::string& piece : c.pieces) value.Add(piece);
    std::optional<Problem> problem = SizeProblem("width", c.scan, value);
    ASSERT_EQ(problem.has_value(), c.message.has_value());
    if (!problem) continue;
    EXPECT_EQ(problem->message.id(), *c.message);
    Kind kind = *c.message == MessageId::kCheckNoSize ||
                        *c.message == MessageId::kCheckSizeWithoutDot
                    ? Kind::kNoSize
                : *c.message == MessageId::kCheckSizeZero ? Kind::kSizeZero
                : *c.message == MessageId::kCheckSizeTooLarge
                    ? Kind::kSizeTooLarge
                    : Kind::kSizeNotANumber;
    EXPECT_EQ(problem->kind, kind);
    if (!c.english.empty()) {
      EXPECT_EQ(problem->message.Text(Language::kEnglish), c.english);
    }
  }
}

TEST(CheckTest, NumbersBelowZeroAndGivenTwice) {
  for (int32_t number : {0, 1, 499, 2147483647}) {
    EXPECT_FALSE(NumberProblem(number).has_value()) << number;
  }
  for (int32_t number : {-1, -2147483647 - 1}) {
    std::optional<Problem> problem = NumberProblem(number);
    ASSERT_TRUE(problem.has_value()) << number;
    EXPECT_EQ(problem->kind, Kind::kNegativeNumber);
    EXPECT_EQ(problem->message.Text(Language::kEnglish),
              "the image number " + std::to_string(number) +
                  " is below 0, so the image gets no category");
  }
  NumberRegistry numbers;
  const struct {
    int32_t number;
    std::optional<size_t> first;
  } kCases[] = {{7, std::nullopt},
                {8, std::nullopt},
                {7, 0},
                {-7, std::nullopt},
                {7, 0},
                {8, 1},
                {-7, 3}};
  for (size_t index = 0; index < std::size(kCases); ++index) {
    EXPECT_EQ(numbers.Add(kCases[index].number, index), kCases[index].first)
        << index;
  }
}

TEST(CheckTest, FindingNamesForScripts) {
  const struct {
    Finding finding;
    std::string_view name;
  } kCases[] = {
      {{Kind::kStopsRun, "p", Message(MessageId::kNotAnImageNumber)},
       "not-an-image-number"},
      {{Kind::kStopsRun, "p",
        Message(MessageId::kCannotOpenFile, {{"cause", "x"}})},
       "cannot-open-file"},
      {{Kind::kStopsRun, "p", Message(MessageId::kImageChanged)},
       "image-changed"},
      {{Kind::kNumberTaken, "p", Message(MessageId::kCheckNumberTaken)},
       "number-taken"},
      {{Kind::kNoSize, "p", Message(MessageId::kCheckSizeWithoutDot)},
       "no-size"},
      {{Kind::kSizeNotANumber, "p", Message(MessageId::kCheckSizeRanOn)},
       "size-not-a-number"},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(FindingName(c.finding), c.name);
  }
}

// A folder in memory, checked and catalogued: the check finds what each
// row says, in list order, and agrees with the run: a folder without
// findings that stop a run is catalogued, one with them is refused with
// the first of them.
TEST(CheckTest, CheckAgreesWithTheRun) {
  const struct {
    std::vector<std::pair<std::string, std::string>> images;
    std::vector<std::string> unreadable;
    std::vector<std::string> findings;  // "<name> <kind>"
  } kCases[] = {
      {{}, {}, {}},
      {{{"1.svg", R"(<svg width="1.5" height="2.5">)"},
        {"2.SVG", R"(<svg height="20.5" width="10.5">)"}},
       {},
       {}},
      {{{"logo.svg", ""},
        {"7.svg", R"(<svg width="1.5" height="2.5">)"},
        {"07.svg", R"(<svg width="1.5" height="2.5">)"},
        {"+7.svg", R"(<svg width="1.5" height="2.5">)"},
        {"-3.svg", R"(<svg width="100%" height=".5">)"},
        {"8.svg", R"(<svg width="0.5" height=.5>)"},
        {"9.svg", "<svg\twidth=\"1.5\" height=\"2\"/>"},
        {"99999999999.svg", ""},
        {"5.svg", R"(<svg width="9999999999.5" height="1.5">)"},
        // Sizes too long for memory, copied from the image as a run does.
        {"20.svg", "<svg width=\"" + std::string(2000, '9') + ".5\">"},
        {"21.svg", "<svg height=\"" + std::string(2000, 'a') + ".5\">"}},
       {"6.svg"},
       {"-3.svg negative-number", "-3.svg size-not-a-number",
        "-3.svg size-zero", "07.svg number-taken", "20.svg size-too-large",
        "20.svg no-size", "21.svg no-size", "21.svg size-not-a-number",
        "5.svg size-too-large", "6.svg cannot-open-file", "7.svg number-taken",
        "8.svg dot-right-after-equals", "9.svg no-size", "9.svg no-size",
        "99999999999.svg image-number-out-of-range",
        "logo.svg not-an-image-number"}},
  };
  for (const auto& c : kCases) {
    MemoryEnv files;
    files.AddDirectory("/pics");
    FaultEnv env(files);
    for (const auto& [name, text] : c.images) {
      files.AddFile("/pics/" + name, text);
    }
    for (const std::string& name : c.unreadable) {
      files.AddFile("/pics/" + name, "");
      env.FailOpen("/pics/" + name);
    }
    SCOPED_TRACE(::testing::PrintToString(c.findings));
    for (unsigned jobs : {1u, 4u}) {
      std::vector<std::string> found;
      std::optional<Finding> first_stop;
      CheckSummary summary =
          CheckFolder(env, "/pics", jobs, [&](const Finding& finding) {
            ASSERT_EQ(finding.path.rfind("/pics/", 0), 0u);
            found.push_back(finding.path.substr(6) + " " +
                            FindingName(finding));
            if (finding.kind == Kind::kStopsRun && !first_stop) {
              first_stop = finding;
            }
          });
      EXPECT_EQ(found, c.findings);
      EXPECT_EQ(summary.findings(), c.findings.size());
      EXPECT_EQ(summary.images, c.images.size() + c.unreadable.size());
      EXPECT_EQ(files.FileContents("/pics/tev.xml"), std::nullopt);

      Form1 form(env, "/pics", jobs);
      if (!first_stop) {
        EXPECT_NO_THROW(form.Form_Load());
        files.RemoveFile("/pics/tev.xml");
        continue;
      }
      try {
        form.Form_Load();
        ADD_FAILURE() << "the run succeeded";
      } catch (const Error& e) {
        EXPECT_EQ(e.path(), first_stop->path);
        EXPECT_EQ(e.message().Text(Language::kEnglish),
                  first_stop->message.Text(Language::kEnglish));
      }
    }
  }
}

TEST(CheckTest, FolderThatCannotBeListedIsAnError) {
  MemoryEnv files;
  EXPECT_THROW(CheckFolder(files, "/missing", 1, [](const Finding&) {}), Error);
}

}  // namespace
}  // namespace tevgen
