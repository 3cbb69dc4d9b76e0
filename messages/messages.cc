#include "messages/messages.h"

#include <algorithm>
#include <array>

namespace tevgen {
namespace {

using Forms = std::array<std::string_view, kLanguageCount>;

// The forms of every message, indexed by MessageId.
constexpr Forms kForms[] = {
#define TEVGEN_MESSAGE(id, ...) {__VA_ARGS__},
#include "messages/messages.def"
};

// The name of every message, indexed by MessageId.
constexpr std::string_view kNames[] = {
#define TEVGEN_MESSAGE(id, ...) #id,
#include "messages/messages.def"
};

struct ActionMessages {
  MessageId file;
  MessageId catalogue;
};

// The messages of every action, indexed by FileAction.
constexpr ActionMessages kActions[] = {
#define TEVGEN_ACTION(action, file, catalogue) \
  {MessageId::file, MessageId::catalogue},
#include "messages/messages.def"
};

}  // namespace

Language LanguageOf(std::string_view tag) {
  auto lower = [](char c) {
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
  };
  for (const LanguageRow& row : kLanguages) {
    if (tag.size() < row.code.size() ||
        (tag.size() > row.code.size() &&
         std::string_view("_-.@").find(tag[row.code.size()]) ==
             std::string_view::npos)) {
      continue;
    }
    if (std::equal(row.code.begin(), row.code.end(), tag.begin(),
                   [&](char a, char b) { return a == lower(b); })) {
      return row.language;
    }
  }
  return kLanguages[0].language;
}

const LanguageRow* LanguageOfWindowsId(uint16_t windows_id) {
  for (const LanguageRow& row : kLanguages) {
    if (row.windows_id == windows_id) return &row;
  }
  return nullptr;
}

MessageId FileMessage(FileAction action) {
  return kActions[static_cast<size_t>(action)].file;
}

MessageId CatalogueMessage(FileAction action) {
  return kActions[static_cast<size_t>(action)].catalogue;
}

std::string_view FormOf(MessageId id, Language language) {
  return kForms[static_cast<size_t>(id)][static_cast<size_t>(language)];
}

std::string_view NameOf(MessageId id) {
  return kNames[static_cast<size_t>(id)];
}

Message::Hole::Hole(std::string_view name, std::string text)
    : name(name), text(std::move(text)) {}

Message::Hole::Hole(std::string_view name, Message message)
    : name(name),
      message(std::make_shared<const Message>(std::move(message))) {}

Message::Message(MessageId id, std::vector<Hole> holes)
    : id_(id), holes_(std::move(holes)) {}

Message Message::WithId(MessageId id) const {
  Message retold = *this;
  retold.id_ = id;
  return retold;
}

bool Message::Mentions(MessageId id) const {
  if (id_ == id) return true;
  for (const Hole& hole : holes_) {
    if (hole.message && hole.message->Mentions(id)) return true;
  }
  return false;
}

std::string Message::Text(Language language) const {
  std::string_view form = FormOf(id_, language);
  std::string text;
  for (;;) {
    size_t open = form.find('{');
    size_t close = form.find('}', open);
    if (close == std::string_view::npos) break;
    text.append(form.substr(0, open));
    std::string_view name = form.substr(open + 1, close - open - 1);
    const Hole* filled = nullptr;
    for (const Hole& hole : holes_) {
      if (hole.name == name) filled = &hole;
    }
    if (filled == nullptr) {
      text.append(form.substr(open, close + 1 - open));
    } else if (filled->message) {
      text.append(filled->message->Text(language));
    } else {
      text.append(filled->text);  // never translated
    }
    form.remove_prefix(close + 1);
  }
  text.append(form);
  return text;
}

}  // namespace tevgen
