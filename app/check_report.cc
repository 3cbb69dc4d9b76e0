#include "app/check_report.h"

#include <cstdint>
#include <map>

#include "app/display_name.h"

namespace tevgen {
namespace {

constexpr std::array<MessageId, kFindingKindCount> kKindLabels = {
    MessageId::kCheckKindStopsRun,       MessageId::kCheckKindNumberTaken,
    MessageId::kCheckKindNegativeNumber, MessageId::kCheckKindNoSize,
    MessageId::kCheckKindSizeZero,       MessageId::kCheckKindSizeNotANumber,
    MessageId::kCheckKindSizeTooLarge,
};

// Output is handed on in pieces of about this size.
constexpr size_t kOutputChunk = 64 * 1024;

// "\u" and four hexadecimal digits of `value`, below 0x10000.
void AppendHex4(unsigned value, std::string* out) {
  constexpr std::string_view kDigits = "0123456789abcdef";
  *out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) {
    *out += kDigits[(value >> shift) & 0xF];
  }
}

// `text` cut to at most `size` bytes, not inside a UTF-8 sequence.
std::string_view CutAt(std::string_view text, size_t size) {
  if (text.size() <= size) return text;
  while (size > 0 && (static_cast<unsigned char>(text[size]) & 0xC0) == 0x80) {
    --size;
  }
  return text.substr(0, size);
}

}  // namespace

std::string JsonString(std::string_view bytes) {
  std::string out = "\"";
  while (!bytes.empty()) {
    unsigned char c = static_cast<unsigned char>(bytes[0]);
    size_t length = 1;
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      AppendHex4(c, &out);
    } else if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      uint32_t code_point = 0;
      length = Utf8SequenceLength(bytes, &code_point);
      if (length == 0) {
        length = 1;
        AppendHex4(0xDC00 + c, &out);
      } else if (code_point < 0x10000) {
        AppendHex4(code_point, &out);
      } else {
        code_point -= 0x10000;
        AppendHex4(0xD800 + (code_point >> 10), &out);
        AppendHex4(0xDC00 + (code_point & 0x3FF), &out);
      }
    }
    bytes.remove_prefix(length);
  }
  out += '"';
  return out;
}

std::string FindingLine(const Finding& finding, Language language) {
  std::string what =
      finding.kind == FindingKind::kStopsRun
          ? Message(MessageId::kCheckStopsRun, {{"reason", finding.message}})
                .Text(language)
          : finding.message.Text(language);
  return DisplayName(finding.path) + ": " + what + "\n";
}

std::string FindingJson(const Finding& finding) {
  return "{\"kind\":" + JsonString(FindingName(finding)) + ",\"stops_run\":" +
         (finding.kind == FindingKind::kStopsRun ? "true" : "false") +
         ",\"path\":" + JsonString(finding.path) +
         ",\"detail\":" + JsonString(finding.message.Text(Language::kEnglish)) +
         "}\n";
}

std::string SummaryLine(const CheckSummary& summary, Language language) {
  std::string kinds;
  for (size_t kind = 0; kind < kFindingKindCount; ++kind) {
    if (summary.kinds[kind] == 0) continue;
    if (!kinds.empty()) kinds += ", ";
    kinds += Message(MessageId::kCheckKindCount,
                     {{"kind", Message(kKindLabels[kind])},
                      {"count", std::to_string(summary.kinds[kind])}})
                 .Text(language);
  }
  std::vector<Message::Hole> holes = {
      {"images", std::to_string(summary.images)},
      {"findings", std::to_string(summary.findings())}};
  if (kinds.empty()) {
    return Message(MessageId::kCheckSummary, holes).Text(language) + "\n";
  }
  holes.emplace_back("kinds", kinds);
  return Message(MessageId::kCheckSummaryKinds, holes).Text(language) + "\n";
}

std::string SummaryJson(const CheckSummary& summary) {
  // Findings that stop a run are counted by their reason.
  std::map<std::string, size_t> by_kind = summary.stops;
  for (size_t kind = 0; kind < kFindingKindCount; ++kind) {
    if (summary.kinds[kind] != 0 &&
        static_cast<FindingKind>(kind) != FindingKind::kStopsRun) {
      by_kind[std::string(KindName(static_cast<FindingKind>(kind)))] =
          summary.kinds[kind];
    }
  }
  std::string kinds;
  for (const auto& [name, count] : by_kind) {
    if (!kinds.empty()) kinds += ',';
    kinds += JsonString(name) + ":" + std::to_string(count);
  }
  return "{\"kind\":\"summary\",\"images\":" + std::to_string(summary.images) +
         ",\"findings\":" + std::to_string(summary.findings()) +
         ",\"by_kind\":{" + kinds + "}}\n";
}

void CheckBox::Add(std::string_view line) {
  if (lines_ == kLines) {
    ++rest_;
    return;
  }
  if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
  std::string_view cut = CutAt(line, kLineBytes);
  shown_.append(cut);
  if (cut.size() < line.size()) shown_ += "...";
  shown_ += '\n';
  ++lines_;
}

std::string CheckBox::Text(std::string_view summary, Language language) const {
  std::string text = shown_;
  if (rest_ > 0) {
    text += Message(MessageId::kCheckMoreFindings,
                    {{"count", std::to_string(rest_)}})
                .Text(language) +
            "\n";
  }
  if (!text.empty()) text += '\n';
  text.append(summary);
  return text;
}

int CheckAndReport(Env& env, const std::string& directory, unsigned jobs,
                   CheckFormat format, Language language,
                   std::string_view title) {
  const bool json = format == CheckFormat::kJson;
  const bool box = StandardOutputIsBox();
  CheckBox shown;
  std::string pending;
  CheckSummary summary =
      CheckFolder(env, directory, jobs, [&](const Finding& finding) {
        std::string line =
            json ? FindingJson(finding) : FindingLine(finding, language);
        if (box) {
          shown.Add(line);
          return;
        }
        pending += line;
        if (pending.size() >= kOutputChunk) {
          WriteStandardOutput(pending, title);
          pending.clear();
        }
      });
  std::string last =
      json ? SummaryJson(summary) : SummaryLine(summary, language);
  if (box) {
    std::string text = shown.Text(last, language);
    WriteStandardOutput(text, title, text);
  } else {
    WriteStandardOutput(pending + last, title);
  }
  return summary.findings() == 0 ? 0 : 1;
}

}  // namespace tevgen
