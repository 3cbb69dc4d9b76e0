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

// "c1000 o1200 g1300": a change at 1000 ms, an overflow, the folder gone.
std::vector<Happening> Script(std::string_view text) {
  std::vector<Happening> script;
  std::istringstream in{std::string(text)};
  for (std::string word; in >> word;) {
    FolderEvent event = word[0] == 'c'   ? FolderEvent::kChanged
                        : word[0] == 'o' ? FolderEvent::kOverflow
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
    bool runs_fail;
    std::string outcome;  // when runs began; how it ended; lines reported
  } kCases[] = {
      {"nothing changes", "", 0, false, "0 stopped 0"},
      {"one change", "c1000", 0, false, "0 1300 stopped 0"},
      {"a burst: one run after its quiet", "c1000 c1100 c1250", 0, false,
       "0 1550 stopped 0"},
      {"a stream: runs 2 s after a burst began", stream, 0, false,
       "0 3000 5050 stopped 0"},
      {"a change during a run: one more run", "c200 c300", 500, false,
       "0 800 stopped 0"},
      {"an overflow is a change", "o1000", 0, false, "0 1300 stopped 0"},
      {"the folder gone ends it", "c1000 g1100", 0, false, "0 gone 0"},
      {"failed runs are reported, the watch goes on", "c1000", 0, true,
       "0 1300 stopped 2"},
      {"a run failed by the folder's removal is not reported", "g100", 500,
       true, "0 gone 0"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    ScriptedWatch watch(Script(c.script));
    std::string outcome;
    int reports = 0;
    WatchEnd end = WatchLoop(
        watch,
        [&] {
          outcome += std::to_string(watch.now_.count()) + " ";
          watch.now_ += milliseconds(c.run_ms);
          return std::string(c.runs_fail ? "tevgen: x: failed\n" : "");
        },
        [&](const std::string& line) {
          EXPECT_EQ(line, "tevgen: x: failed\n");
          ++reports;
        },
        [&] { return Time(watch.now_); });
    outcome += end == WatchEnd::kGone ? "gone " : "stopped ";
    EXPECT_EQ(outcome + std::to_string(reports), c.outcome);
  }
}

}  // namespace
}  // namespace tevgen
