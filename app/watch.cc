#include "app/watch.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <new>

#include "app/catalogue_format.h"
#include "app/file_list.h"
#include "app/form1.h"
#include "app/report.h"
#include "platform/error.h"
#include "platform/service_manager.h"

namespace tevgen {
namespace {

using std::chrono::milliseconds;

// The one-line report of a failure, as main() prints it for a single run.
std::string FailureLine(std::string_view name, const Message& reason,
                        Language language) {
  return FailureReport(name, reason, language).console;
}

// One ordinary run; the line that reports its failure, or "" and the
// number of images catalogued in `images`.
std::string RunOnce(Env& env, const std::string& directory, unsigned jobs,
                    Language language, size_t* images) {
  try {
    Form1 form(env, directory, jobs);
    form.Form_Load();
    *images = form.ImageCount();
    return "";
  } catch (const std::exception&) {
    return CaughtFailureReport(directory, language).console;
  }
}

// "2026-12-08 18:46:03 UTC".
std::string UtcTime(std::chrono::system_clock::time_point time) {
  using namespace std::chrono;
  auto day = floor<days>(time);
  year_month_day date(day);
  hh_mm_ss clock(floor<seconds>(time - day));
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02u-%02u %02d:%02d:%02d UTC",
                static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()),
                static_cast<unsigned>(date.day()),
                static_cast<int>(clock.hours().count()),
                static_cast<int>(clock.minutes().count()),
                static_cast<int>(clock.seconds().count()));
  return text;
}

}  // namespace

std::string StatusText(const WatchState& state, Language language) {
  switch (state.kind) {
    case WatchState::kWaiting:
      return Message(MessageId::kStatusWaiting).Text(language);
    case WatchState::kWritten:
      return Message(MessageId::kStatusWritten,
                     {{"count", std::to_string(state.images)},
                      {"time", UtcTime(state.since)}})
          .Text(language);
    case WatchState::kStale:
      break;
  }
  std::string reason = state.reason;
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r')) {
    reason.pop_back();
  }
  return Message(MessageId::kStatusStale,
                 {{"time", UtcTime(state.since)}, {"reason", reason}})
      .Text(language);
}

WatchState AfterRun(const WatchState& before, const std::string& failure,
                    size_t images, std::chrono::system_clock::time_point now) {
  WatchState after;
  after.kind = failure.empty() ? WatchState::kWritten : WatchState::kStale;
  after.since = before.kind == WatchState::kStale && after.kind == before.kind
                    ? before.since
                    : now;
  after.images = failure.empty() ? images : before.images;
  after.reason = failure;
  return after;
}

WatchEnd WatchLoop(FolderWatch& watch, const std::function<std::string()>& run,
                   const std::function<void(const std::string&)>& report,
                   const Clock& now, WatchTiming timing) {
  std::string reported;  // the last failure reported, "" after a success
  std::chrono::steady_clock::time_point reported_at;
  for (;;) {
    std::string failure = run();
    // A run that failed because the folder went away is told by the end
    // of the watch, not by the run's own line.
    FolderEvent event = watch.Wait(milliseconds(0));
    if (failure.empty()) {
      reported.clear();
    } else if (event != FolderEvent::kGone && event != FolderEvent::kFailed &&
               (failure != reported || now() - reported_at >= timing.repeat)) {
      report(failure);
      reported = failure;
      reported_at = now();
    }
    if (event == FolderEvent::kTimeout) event = watch.Wait(milliseconds(-1));
    // A burst has begun: wait until it has been quiet for a while, but not
    // longer than `longest` after its first change.
    auto first = now();
    auto last = first;
    for (;;) {
      if (event == FolderEvent::kGone) return WatchEnd::kGone;
      if (event == FolderEvent::kStopped) return WatchEnd::kStopped;
      if (event == FolderEvent::kFailed) return WatchEnd::kFailed;
      if (event != FolderEvent::kTimeout) last = now();
      auto until = std::min(last + timing.quiet, first + timing.longest);
      auto left = std::chrono::ceil<milliseconds>(until - now());
      if (left <= milliseconds(0)) break;
      event = watch.Wait(left);
    }
  }
}

bool InPrivateTmp(std::string_view directory) {
  for (std::string_view tmp : {"/tmp", "/var/tmp"}) {
    if (directory.starts_with(tmp) &&
        (directory.size() == tmp.size() || directory[tmp.size()] == '/')) {
      return true;
    }
  }
  return false;
}

int WatchAndCatalogue(Env& env, const std::string& directory, unsigned jobs,
                      Language language) {
  constexpr int kExitError = 1;
  auto fail = [&](const Message& reason) {
    ReportFromWatch(FailureLine(directory, reason, language));
    return kExitError;
  };
  // The names a run lists: a change of any other name changes nothing in
  // the catalogue (the catalogue's own name among them).
  FileListBox images(kImageExtension);
  WatchState state;
  auto tell = [&] {
    TellServiceManager("READY=1\nSTATUS=" + StatusText(state, language));
  };
  std::unique_ptr<FolderWatch> watch;
  bool waited = false;
  try {
    while (!(watch = WatchFolder(directory, [&images](std::string_view name) {
               return images.MatchesPattern(name);
             }))) {
      // Waiting would be for ever: say why at once.
      if (UnderServiceManager() && InPrivateTmp(directory)) {
        return fail(MessageId::kFolderInPrivateTmp);
      }
      if (!waited) {
        ReportFromWatch(
            FailureLine(directory, MessageId::kWaitingForFolder, language));
        tell();
        waited = true;
      }
      WaitForFolder(directory);
    }
  } catch (const Error& e) {
    ReportFromWatch(FailureLine(e.path(), e.message(), language));
    return kExitError;
  }
  // A service's view of the file system is made when it starts: a folder
  // made later is read-only there until it starts again.
  if (waited && OnReadOnlyMount(directory)) {
    return fail(MessageId::kFolderMadeReadOnly);
  }
  auto run = [&] {
    size_t count = 0;
    std::string failure = RunOnce(env, directory, jobs, language, &count);
    // The run's own replacement of the catalogue starts nothing, whatever
    // name it went to (a tev.xml that links to an image, say).
    watch->IgnoreFileOf(std::string(kCatalogueName));
    state = AfterRun(state, failure, count, std::chrono::system_clock::now());
    tell();
    return failure;
  };
  WatchEnd end = WatchLoop(*watch, run, ReportFromWatch,
                           [] { return std::chrono::steady_clock::now(); });
  if (end == WatchEnd::kStopped) return 0;
  if (end == WatchEnd::kFailed) {
    return fail(
        Message(MessageId::kWaitFailed, {{"cause", watch->FailureCause()}}));
  }
  return fail(MessageId::kFolderGone);
}

}  // namespace tevgen
