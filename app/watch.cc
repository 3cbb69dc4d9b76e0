#include "app/watch.h"

#include <algorithm>
#include <exception>
#include <new>

#include "app/file_list.h"
#include "app/form1.h"
#include "app/report.h"
#include "platform/error.h"

namespace tevgen {
namespace {

using std::chrono::milliseconds;

// The one-line report of a failure, as main() prints it for a single run.
std::string FailureLine(std::string_view name, const Message& reason,
                        Language language) {
  return FailureReport(name, reason, language).console;
}

// One ordinary run; the line that reports its failure, or "".
std::string RunOnce(Env& env, const std::string& directory, unsigned jobs,
                    Language language) {
  try {
    Form1 form(env, directory, jobs);
    form.Form_Load();
    return "";
  } catch (const Error& e) {
    return FailureLine(e.path(), e.message(), language);
  } catch (const std::bad_alloc&) {
    return FailureLine(directory, MessageId::kOutOfMemory, language);
  } catch (const std::exception& e) {
    return FailureLine(directory,
                       Message(MessageId::kUnworded, {{"what", e.what()}}),
                       language);
  }
}

}  // namespace

WatchEnd WatchLoop(FolderWatch& watch, const std::function<std::string()>& run,
                   const std::function<void(const std::string&)>& report,
                   const Clock& now, WatchTiming timing) {
  for (;;) {
    std::string failure = run();
    // A run that failed because the folder went away is told by the end
    // of the watch, not by the run's own line.
    FolderEvent event = watch.Wait(milliseconds(0));
    if (!failure.empty() && event != FolderEvent::kGone) report(failure);
    if (event == FolderEvent::kTimeout) event = watch.Wait(milliseconds(-1));
    // A burst has begun: wait until it has been quiet for a while, but not
    // longer than `longest` after its first change.
    auto first = now();
    auto last = first;
    for (;;) {
      if (event == FolderEvent::kGone) return WatchEnd::kGone;
      if (event == FolderEvent::kStopped) return WatchEnd::kStopped;
      if (event != FolderEvent::kTimeout) last = now();
      auto until = std::min(last + timing.quiet, first + timing.longest);
      auto left = std::chrono::ceil<milliseconds>(until - now());
      if (left <= milliseconds(0)) break;
      event = watch.Wait(left);
    }
  }
}

int WatchAndCatalogue(Env& env, const std::string& directory, unsigned jobs,
                      Language language) {
  constexpr int kExitError = 1;
  // The names a run lists: a change of any other name changes nothing in
  // the catalogue (the catalogue's own name among them).
  FileListBox images(kImageExtension);
  std::unique_ptr<FolderWatch> watch;
  try {
    watch = WatchFolder(directory, [&images](std::string_view name) {
      return images.MatchesPattern(name);
    });
  } catch (const Error& e) {
    ReportFromWatch(FailureLine(e.path(), e.message(), language));
    return kExitError;
  }
  WatchEnd end = WatchLoop(
      *watch, [&] { return RunOnce(env, directory, jobs, language); },
      ReportFromWatch, [] { return std::chrono::steady_clock::now(); });
  if (end == WatchEnd::kStopped) return 0;
  ReportFromWatch(FailureLine(directory, MessageId::kFolderGone, language));
  return kExitError;
}

}  // namespace tevgen
