#include "app/watch.h"

#include <gtest/gtest.h>

#include <sstream>
#include <vector>

namespace tevgen {
namespace {

using std::chrono::milliseconds;
using Time = std::chrono::steady_clock::time_point;

struct Happening {
  int at_ms;
  FolderEvent event;
};

// A folder whose events come at scripted times on a fake clock: waiting
// moves the clock on. When the script is over, the user stops the watch.
class ScriptedWatch : public FolderWatch {
 public:
  explicit ScriptedWatch(std::vector<Happening> script)
      : script_(std::move(script)) {}

  FolderEvent Wait(milliseconds timeout) override {
    if (next_ == script_.size()) {
      if (timeout < milliseconds(0)) return FolderEvent::kStopped;
      now_ += timeout;
      return FolderEvent::kTimeout;
    }
    milliseconds at(script_[next_].at_ms);
    if (timeout >= milliseconds(0) && at > now_ + timeout) {
      now_ += timeout;
      return FolderEvent::kTimeout;
    }
    now_ = std::max(now_, at);
    FolderEvent result = FolderEvent::kTimeout;
    for (; next_ < script_.size() && milliseconds(script_[next_].at_ms) <= now_;
         ++next_) {
      result = std::max(result, script_[next_].event);
    }
    return result;
  }

  milliseconds now_{0};

 private:
  std::vector<Happening> script_;
  size_t next_ = 0;
};

// "c1000 o1200 g1300 f1400": a change at 1000 ms, an overflow, the folder
// gone, the wait failed.
std::vector<Happening> Script(std::string_view text) {
  std::vector<Happening> script;
  std::istringstream in{std::string(text)};
  for (std::string word; in >> word;) {
    FolderEvent event = word[0] == 'c'   ? FolderEvent::kChanged
                        : word[0] == 'o' ? FolderEvent::kOverflow
                        : word[0] == 'f' ? FolderEvent::kFailed
                                         : FolderEvent::kGone;
    script.push_back({std::stoi(word.substr(1)), event});
  }
  return script;
}

TEST(WatchLoopTest, RunsAtOnceAndAfterEachBurst) {
  std::string stream;  // a change every 250 ms for 4 s
  for (int at = 1000; at < 5000; at += 250) stream += " c" + std::to_string(at);
  const struct {
    const char* what;
    std::string script;
    int run_ms;
    std::string fails;    // run by run: "-" succeeds, a letter fails with
                          // that line; the last stands for the runs after
    std::string outcome;  // when runs began; how it ended; lines reported
  } kCases[] = {
      {"nothing changes", "", 0, "-", "0 stopped "},
      {"one change", "c1000", 0, "-", "0 1300 stopped "},
      {"a burst: one run after its quiet", "c1000 c1100 c1250", 0, "-",
       "0 1550 stopped "},
      {"a stream: runs 2 s after a burst began", stream, 0, "-",
       "0 3000 5050 stopped "},
      {"a change during a run: one more run", "c200 c300", 500, "-",
       "0 800 stopped "},
      {"an overflow is a change", "o1000", 0, "-", "0 1300 stopped "},
      {"the folder gone ends it", "c1000 g1100", 0, "-", "0 gone "},
      {"a failed run is reported, the watch goes on", "c1000", 0, "a-",
       "0 1300 stopped a"},
      {"the same failure again is not reported again", "c1000 c2000", 0, "a",
       "0 1300 2300 stopped a"},
      {"a changed failure is reported", "c1000 c2000", 0, "aab",
       "0 1300 2300 stopped ab"},
      {"a failure after a success is reported again", "c1000 c2000", 0, "a-a",
       "0 1300 2300 stopped aa"},
      {"the same failure an hour later is reported again", "c1000 c3600000", 0,
       "a", "0 1300 3600300 stopped aa"},
      {"a run failed by the folder's removal is not reported", "g100", 500, "a",
       "0 gone "},
      {"a failed wait ends it, nothing run after", "c1000 f1100", 0, "-",
       "0 failed "},
      {"a wait failed after a failed run: only the wait is told", "f100", 500,
       "a", "0 failed "},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    ScriptedWatch watch(Script(c.script));
    std::string outcome;
    std::string reports;
    size_t runs = 0;
    WatchEnd end = WatchLoop(
        watch,
        [&] {
          outcome += std::to_string(watch.now_.count()) + " ";
          watch.now_ += milliseconds(c.run_ms);
          char fails = c.fails[std::min(runs++, c.fails.size() - 1)];
          return fails == '-' ? "" : std::string("tevgen: x: ") + fails + "\n";
        },
        [&](const std::string& line) {
          EXPECT_EQ(line.substr(0, 11), "tevgen: x: ");
          reports += line.substr(11, 1);
        },
        [&] { return Time(watch.now_); });
    outcome += end == WatchEnd::kGone     ? "gone "
               : end == WatchEnd::kFailed ? "failed "
                                          : "stopped ";
    EXPECT_EQ(outcome + reports, c.outcome);
  }
}

// What `systemctl status` shows, run after run: written, then stale since
// the first failure of a row, the failed run's line (without its end).
TEST(WatchStatusTest, SaysWhenWrittenOrSinceWhenStale) {
  using std::chrono::seconds;
  using SystemTime = std::chrono::system_clock::time_point;
  const SystemTime k2026(seconds(1796720400));  // 2026-12-08 09:00:00 UTC
  const struct {
    const char* what;
    std::vector<std::string> failures;  // one run each, "" succeeded
    Language language;
    std::string status;
  } kCases[] = {
      {"before the folder exists",
       {},
       Language::kEnglish,
       "waiting for the folder to be made"},
      {"written",
       {""},
       Language::kEnglish,
       "catalogue of 7 images written 2026-12-08 09:00:00 UTC"},
      {"written again",
       {"", ""},
       Language::kEnglish,
       "catalogue of 7 images written 2026-12-08 09:01:01 UTC"},
      {"stale since the first failure",
       {"", "tevgen: /a: no\n", "x\n"},
       Language::kEnglish,
       "catalogue stale since 2026-12-08 09:01:01 UTC: x"},
      {"stale from the start",
       {"tevgen: /a: no\r\n"},
       Language::kGerman,
       "Katalog veraltet seit 2026-12-08 09:00:00 UTC: tevgen: /a: no"},
      {"written after being stale",
       {"x\n", ""},
       Language::kGerman,
       "Katalog mit 7 Bildern geschrieben 2026-12-08 09:01:01 UTC"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    WatchState state;
    SystemTime now = k2026;
    for (const std::string& failure : c.failures) {
      state = AfterRun(state, failure, 7, now);
      now += seconds(61);
    }
    EXPECT_EQ(StatusText(state, c.language), c.status);
  }
}

TEST(WatchStatusTest, FoldersAServiceCannotSeeAreUnderTmp) {
  const struct {
    const char* directory;
    bool hidden;
  } kCases[] = {
      {"/tmp", true},         {"/tmp/clip", true},     {"/var/tmp/a/b", true},
      {"/tmpfiles", false},   {"/srv/tmp", false},     {"tmp/clip", false},
      {"/var/tmpx/a", false}, {"/srv/clipart", false},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(InPrivateTmp(c.directory), c.hidden) << c.directory;
  }
}

}  // namespace
}  // namespace tevgen
