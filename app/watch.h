// The watch (tevgen --watch): a catalogue that stays current by itself. It
// writes the catalogue at once, then again after the folder's images
// change. Changes come in bursts (a copy of many files, an upload), so a
// run starts once the folder has been quiet for kQuiet, and never later
// than kLongest after the first change of a burst, so that a steady stream
// of uploads is still catalogued. A change during a run is seen after it
// and leads to one more run. Each run is an ordinary run (Form1::Form_Load),
// so the catalogue's bytes are those of a one-shot run at that moment.
//
// A failed run is reported in its usual one line and the watch goes on,
// the old catalogue kept; the same line again only after kRepeat, so that
// a folder that fails every run does not flood a log. Only the folder's
// removal or renaming (its own or that of a folder on its way), a failed
// wait, or the user's stop ends it. A folder missing at the start is
// waited for. A service manager is told when the catalogue was last written
// or since when and why it is stale (StatusText).
#ifndef TEVGEN_APP_WATCH_H_
#define TEVGEN_APP_WATCH_H_

#include <chrono>
#include <functional>
#include <string>

#include "messages/messages.h"
#include "platform/env.h"
#include "platform/folder_watch.h"

namespace tevgen {

struct WatchTiming {
  using Duration = std::chrono::milliseconds;
  static constexpr Duration kQuiet{300};
  static constexpr Duration kLongest{2000};
  static constexpr Duration kRepeat{std::chrono::hours(1)};
  Duration quiet = kQuiet;
  Duration longest = kLongest;
  Duration repeat = kRepeat;
};

enum class WatchEnd { kGone, kStopped, kFailed };

// The loop, free of the system: runs `run` at once and after every burst
// of changes that `watch` reports, until the folder is gone or the user
// stops it, or waiting fails. `run` returns the line that reports its
// failure, or "" when it succeeded; the line goes to `report`, unless the
// run failed because the folder itself went away, or the last failure
// reported was the same line less than `timing.repeat` ago with no
// success between. `now` is the clock the timing is measured on.
using Clock = std::function<std::chrono::steady_clock::time_point()>;
WatchEnd WatchLoop(FolderWatch& watch, const std::function<std::string()>& run,
                   const std::function<void(const std::string&)>& report,
                   const Clock& now, WatchTiming timing = {});

// What a watch's service status says (STATUS=): the last catalogue's time
// and number of images, or since when it is stale and the one line of the
// failed run that made it so; `time` as Coordinated Universal Time.
struct WatchState {
  enum Kind { kWaiting, kWritten, kStale } kind = kWaiting;
  std::chrono::system_clock::time_point since;
  size_t images = 0;
  std::string reason;  // kStale: the failed run's line
};
std::string StatusText(const WatchState& state, Language language);

// The state after a run at `now` that failed with `failure` ("" if none)
// or wrote a catalogue of `images`: a stale catalogue stays stale since
// its first failure.
WatchState AfterRun(const WatchState& before, const std::string& failure,
                    size_t images, std::chrono::system_clock::time_point now);

// Whether `directory` is under /tmp or /var/tmp, which a service that has
// a /tmp of its own (systemd's PrivateTmp=) never sees.
bool InPrivateTmp(std::string_view directory);

// The whole watch of `directory`, as main() starts it: every message goes
// through ReportFromWatch and its state to the service manager
// (TellServiceManager), ready once the first run has ended. Returns the
// exit status: 1 when the folder could not be watched or went away or the
// wait failed, 0 when the user stopped the watch.
int WatchAndCatalogue(Env& env, const std::string& directory, unsigned jobs,
                      Language language);

}  // namespace tevgen

#endif  // TEVGEN_APP_WATCH_H_
