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
// the old catalogue kept; only the folder's own removal or renaming (or
// the user's stop) ends it.
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
  Duration quiet = kQuiet;
  Duration longest = kLongest;
};

enum class WatchEnd { kGone, kStopped };

// The loop, free of the system: runs `run` at once and after every burst
// of changes that `watch` reports, until the folder is gone or the user
// stops it. `run` returns the line that reports its failure, or "" when it
// succeeded; the line goes to `report`, unless the run failed because the
// folder itself went away. `now` is the clock the timing is measured on.
using Clock = std::function<std::chrono::steady_clock::time_point()>;
WatchEnd WatchLoop(FolderWatch& watch, const std::function<std::string()>& run,
                   const std::function<void(const std::string&)>& report,
                   const Clock& now, WatchTiming timing = {});

// The whole watch of `directory`, as main() starts it: every message goes
// through ReportFromWatch. Returns the exit status: 1 when the folder could
// not be watched or went away, 0 when the user stopped the watch.
int WatchAndCatalogue(Env& env, const std::string& directory, unsigned jobs,
                      Language language);

}  // namespace tevgen

#endif  // TEVGEN_APP_WATCH_H_
