#include "app/report.h"

#include <exception>
#include <new>

#include "app/display_name.h"
#include "platform/error.h"

namespace tevgen {
namespace {

// What a user can do about a failure.
MessageId Advice(const Message& reason) {
  if (reason.Mentions(MessageId::kInUse)) return MessageId::kAdviceInUse;
  if (reason.Mentions(MessageId::kReadOnly)) return MessageId::kAdviceReadOnly;
  switch (reason.id()) {
    case MessageId::kNotAnImageNumber:
    case MessageId::kNoImageNumber:
    case MessageId::kImageNumberOutOfRange:
    case MessageId::kDotRightAfterEquals:
    case MessageId::kValueTooLong:
      return MessageId::kAdviceImage;
    case MessageId::kCannotListFolder:
    case MessageId::kCannotWatchFolder:
      return MessageId::kAdviceFolder;
    default:
      return MessageId::kAdviceOther;
  }
}

// `text` as a sentence: its first letter a capital, a period at its end.
std::string Sentence(std::string text) {
  if (!text.empty() && text[0] >= 'a' && text[0] <= 'z') text[0] -= 'a' - 'A';
  if (!text.empty() && text.back() != '.') text += '.';
  return text;
}

}  // namespace

Report FailureReport(std::string_view name, const Message& reason,
                     Language language) {
  std::string shown = name.empty() ? "" : DisplayName(name);
  std::string translated = reason.Text(language);
  Report report;
  report.console =
      "tevgen: " + (shown.empty() ? "" : shown + ": ") + translated + "\n";
  report.box = Sentence(translated) + "\n\n";
  if (!shown.empty()) report.box += shown + "\n\n";
  report.box += FormOf(Advice(reason), language);
  return report;
}

Report CaughtFailureReport(const std::string& directory, Language language) {
  try {
    throw;
  } catch (const Error& e) {
    return FailureReport(e.path(), e.message(), language);
  } catch (const std::bad_alloc&) {
    return FailureReport(directory, MessageId::kOutOfMemory, language);
  } catch (const std::exception& e) {
    return FailureReport(directory,
                         Message(MessageId::kUnworded, {{"what", e.what()}}),
                         language);
  }
}

Report UsageReport(const Message& problem, Language language) {
  std::string translated = problem.Text(language);
  // A console user can ask for the help; someone who double-clicked a
  // shortcut with a wrong command line cannot, so the box holds it.
  return {"tevgen: " + translated + "\n" +
              std::string(FormOf(MessageId::kTryHelp, language)) + "\n",
          Sentence(translated) + "\n\n" + HelpReport(language).box};
}

Report HelpReport(Language language) {
  return {std::string(FormOf(MessageId::kUsage, language)),
          std::string(FormOf(MessageId::kUsageBox, language))};
}

}  // namespace tevgen
