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
  if (!targets_.contains(KeyOf(link)) && Hold(bytes)) {
    targets_.emplace(KeyOf(link), target);
  }
}

bool LinkTargets::FindListed(const Way& way, bool* listed) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = listed_.find(way);
  if (found == listed_.end()) return false;
  *listed = found->second;
  return true;
}

void LinkTargets::AddListed(const Way& way, bool listed) {
  size_t bytes = sizeof(Way) + 64 + way.link_owners.size() * sizeof(uid_t);
  std::lock_guard<std::mutex> lock(mutex_);
  if (!listed_.contains(way) && Hold(bytes)) listed_.emplace(way, listed);
}

void LinkTargets::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  targets_.clear();
  listed_.clear();
  bytes_ = 0;
}

bool LinkTargets::Hold(size_t bytes) {
  if (bytes_ + bytes > kMostBytes) return false;
  bytes_ += bytes;
  return true;
}

}  // namespace tevgen
