#include "app/report.h"

#include "app/display_name.h"

namespace tevgen {
namespace {

// What a user can do about a failure, chosen by its English reason.
std::string_view Advice(std::string_view reason) {
  if (reason.ends_with("the file is in use by another program")) {
    return "Close the program that uses the file, then start tevgen again.";
  }
  if (reason.ends_with("the file is read-only")) {
    return "Clear \"Read-only\" in the file's properties, then start tevgen "
           "again.";
  }
  if (reason.starts_with("the file name ") ||
      reason.starts_with("the image number ") ||
      reason.find(" attribute has \".\" right after ") !=
          std::string_view::npos) {
    return "Rename or correct the image, then start tevgen again.";
  }
  return "Put this right, then start tevgen again.";
}

// `text` as a sentence: its first letter a capital, a period at its end.
std::string Sentence(std::string text) {
  if (!text.empty() && text[0] >= 'a' && text[0] <= 'z') text[0] -= 'a' - 'A';
  if (!text.empty() && text.back() != '.') text += '.';
  return text;
}

}  // namespace

Report FailureReport(std::string_view name, std::string_view reason,
                     Language language) {
  std::string shown = name.empty() ? "" : DisplayName(name);
  std::string translated = Translate(reason, language);
  Report report;
  report.console =
      "tevgen: " + (shown.empty() ? "" : shown + ": ") + translated + "\n";
  report.box = Sentence(translated) + "\n\n";
  if (!shown.empty()) report.box += shown + "\n\n";
  report.box += Translate(Advice(reason), language);
  return report;
}

Report UsageReport(std::string_view problem, Language language) {
  std::string translated = Translate(problem, language);
  return {"tevgen: " + translated + "\n" + std::string(UsageText(language)),
          Sentence(translated) + "\n\n" + std::string(UsageBoxText(language))};
}

Report HelpReport(Language language) {
  return {std::string(UsageText(language)),
          std::string(UsageBoxText(language))};
}

}  // namespace tevgen
