#include "app/watch.h"

#include <gtest/gtest.h>

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

constexpr FolderEvent kChange = FolderEvent::kChanged;

TEST(WatchLoopTest, RunsAtOnceAndAfterEachBurst) {
  std::vector<Happening> stream;  // a change every 250 ms for 4 s
  for (int at = 1000; at < 5000; at += 250) stream.push_back({at, kChange});
  const struct {
    const char* what;
    std::vector<Happening> script;
    int run_ms;
    bool runs_fail;
    std::vector<int> runs_at_ms;
    WatchEnd end;
    size_t reports;
  } kCases[] = {
      {"nothing changes", {}, 0, false, {0}, WatchEnd::kStopped, 0},
      {"one change",
       {{1000, kChange}},
       0,
       false,
       {0, 1300},
       WatchEnd::kStopped,
       0},
      {"a burst is one run after its quiet",
       {{1000, kChange}, {1100, kChange}, {1250, kChange}},
       0,
       false,
       {0, 1550},
       WatchEnd::kStopped,
       0},
      {"a stream runs at most 2 s after a burst began",
       stream,
       0,
       false,
       {0, 3000, 5050},
       WatchEnd::kStopped,
       0},
      {"a change during a run gives one more run",
       {{200, kChange}, {300, kChange}},
       500,
       false,
       {0, 800},
       WatchEnd::kStopped,
       0},
      {"an overflow is a change",
       {{1000, FolderEvent::kOverflow}},
       0,
       false,
       {0, 1300},
       WatchEnd::kStopped,
       0},
      {"the folder gone ends the watch",
       {{1000, kChange}, {1100, FolderEvent::kGone}},
       0,
       false,
       {0},
       WatchEnd::kGone,
       0},
      {"failed runs are reported and the watch goes on",
       {{1000, kChange}},
       0,
       true,
       {0, 1300},
       WatchEnd::kStopped,
       2},
      {"a run failed by the folder's removal is not reported",
       {{100, FolderEvent::kGone}},
       500,
       true,
       {0},
       WatchEnd::kGone,
       0},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    ScriptedWatch watch(c.script);
    std::vector<int> runs_at_ms;
    size_t reports = 0;
    WatchEnd end = WatchLoop(
        watch,
        [&] {
          runs_at_ms.push_back(static_cast<int>(watch.now_.count()));
          watch.now_ += milliseconds(c.run_ms);
          return std::string(c.runs_fail ? "tevgen: x: failed\n" : "");
        },
        [&](const std::string& line) {
          EXPECT_EQ(line, "tevgen: x: failed\n");
          ++reports;
        },
        [&] { return Time(watch.now_); });
    EXPECT_EQ(runs_at_ms, c.runs_at_ms);
    EXPECT_EQ(end, c.end);
    EXPECT_EQ(reports, c.reports);
  }
}

}  // namespace
}  // namespace tevgen
