#include "platform/link_targets.h"

namespace tevgen {

LinkTargets::Key LinkTargets::KeyOf(const struct stat& link) {
  return {link.st_dev,  link.st_ino,         link.st_uid,
          link.st_size, link.st_ctim.tv_sec, link.st_ctim.tv_nsec};
}

bool LinkTargets::Find(const struct stat& link, Target* target) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = targets_.find(KeyOf(link));
  if (found == targets_.end()) return false;
  *target = found->second;
  return true;
}

void LinkTargets::Add(const struct stat& link, const Target& target) {
  // What an entry holds, about: its key and strings, and each name's text.
  size_t bytes = sizeof(Key) + sizeof(Target) + 64;
  for (const std::string& name : target.names) {
    bytes += sizeof(std::string) + name.size();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (bytes_ + bytes > kMostBytes) return;
  if (targets_.emplace(KeyOf(link), target).second) bytes_ += bytes;
}

void LinkTargets::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  targets_.clear();
  bytes_ = 0;
}

}  // namespace tevgen
