// How the check (check.h) tells what it found: for a person, one line per
// finding, "<path>: <what is wrong>" in the user's language, then a summary
// line; for scripts (--format=json), one JSON object per line that does not
// change with the language; and, where the output would land in a message
// box (Windows, started without a console), the first findings that fit
// and the count of the rest.
//
// JSON lines are ASCII, so that no code page a console or a pipe uses can
// change them: a character beyond ASCII is written as its \uXXXX escape
// (two for one beyond U+FFFF), and each byte that is not part of valid
// UTF-8 as the lone surrogate \udc80 to \udcff, as Python's
// "surrogateescape" does, which no UTF-8 text can contain. So JSON strings
// hold any bytes unambiguously.
#ifndef TEVGEN_APP_CHECK_REPORT_H_
#define TEVGEN_APP_CHECK_REPORT_H_

#include <cstddef>
#include <string>
#include <string_view>

#include "app/check.h"
#include "messages/messages.h"
#include "platform/env.h"

namespace tevgen {

// `bytes` as a JSON string, quotes included.
std::string JsonString(std::string_view bytes);

// "<path>: <what is wrong>\n"; a finding that stops a run says so.
std::string FindingLine(const Finding& finding, Language language);
// {"kind":...,"stops_run":...,"path":...,"detail":...}\n, the detail in
// English.
std::string FindingJson(const Finding& finding);

// "images: 12, findings: 3 (stop a run: 1, no size: 2)\n"
std::string SummaryLine(const CheckSummary& summary, Language language);
// {"kind":"summary","images":...,"findings":...,"by_kind":{...}}\n
std::string SummaryJson(const CheckSummary& summary);

// The report as a message box shows it: the first kLines lines, each cut
// to kLineBytes, then how many more there were, then the summary.
class CheckBox {
 public:
  static constexpr size_t kLines = 20;
  static constexpr size_t kLineBytes = 200;

  // A finding's line, as FindingLine or FindingJson gives it.
  void Add(std::string_view line);
  std::string Text(std::string_view summary, Language language) const;

 private:
  std::string shown_;
  size_t lines_ = 0;
  size_t rest_ = 0;
};

enum class CheckFormat { kText, kJson };

// Checks `directory` (check.h) and reports to the standard output, in a
// message box titled `title` where the output would land in one; returns
// the exit status: 0 when nothing was found, 1 otherwise. Throws Error
// when the folder cannot be read or the output cannot be written.
int CheckAndReport(Env& env, const std::string& directory, unsigned jobs,
                   CheckFormat format, Language language,
                   std::string_view title);

}  // namespace tevgen

#endif  // TEVGEN_APP_CHECK_REPORT_H_
