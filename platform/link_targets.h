// What the links followed in one run lead to, known by each link's
// identity, so that a path walk reads and splits a link's target once a
// run however many paths go through it: a folder of links to one chain of
// long links costs the chain once, not once a path.
//
// A link's target never changes while the link exists: no call rewrites
// it. A link is known by its device and inode number together with its
// owner, size (its target's length) and change time, all of which a link
// that took the number of a removed one would have to match within the
// clock's tick; its target is then at worst that of a link of the same
// owner that existed an instant ago, the same as reading it an instant
// earlier. The walk still opens each link and takes every decision on what
// it opened (its owner, its folder); only the target's text comes from
// here.
//
// A listing asks of each link only whether it leads to a file to list,
// and many names may lead through one link: it also keeps what a listing
// found the rest of a walk from a link to be (Listed), by the link and the
// walk's state there (its folder, links and names so far, whose rights
// bind it), which with the files decide the rest. That answer is at worst
// the one an instant ago, as any listing's is; the file's open walks its
// way anew.
//
// Safe to use from several threads. Holds at most kMostBytes; a link seen
// past that is read again each time: a slower walk, never a different one.
#ifndef TEVGEN_PLATFORM_LINK_TARGETS_H_
#define TEVGEN_PLATFORM_LINK_TARGETS_H_

#include <sys/stat.h>

#include <compare>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

namespace tevgen {

class LinkTargets {
 public:
  static constexpr size_t kMostBytes = 8 << 20;

  // A target as the walk takes it: whether it begins at "/", and its names
  // in the order the walk keeps them (the next one last).
  struct Target {
    bool absolute = false;
    std::vector<std::string> names;
  };

  // Sets `*target` to what the link with status `link` leads to and
  // returns true, when it was added before.
  bool Find(const struct stat& link, Target* target) const;

  // Keeps `target` as what the link with status `link` leads to, unless
  // that would hold more than kMostBytes.
  void Add(const struct stat& link, const Target& target);

  // Forgets every link: a new run reads them again.
  void Clear();

  using Key = std::tuple<dev_t, ino_t, uid_t, off_t, time_t,
                         decltype(timespec{}.tv_nsec)>;
  static Key KeyOf(const struct stat& link);

  // A walk's state right after it followed a link, when nothing of the
  // path was left beside the link's target.
  struct Way {
    Key link;
    dev_t folder_device;
    ino_t folder_inode;
    int links;
    size_t names;
    bool others_bound;
    std::vector<uid_t> link_owners;
    auto operator<=>(const Way&) const = default;
  };

  // Sets `*listed` to whether a listing found the walk from `way` to lead
  // to a file to list, and returns true, when one did.
  bool FindListed(const Way& way, bool* listed) const;

  // Keeps what a listing found the walk from `way` to lead to, within
  // kMostBytes.
  void AddListed(const Way& way, bool listed);

 private:
  // Adds `bytes` to what is held, unless that would pass kMostBytes.
  bool Hold(size_t bytes);

  mutable std::mutex mutex_;
  std::map<Key, Target> targets_;
  std::map<Way, bool> listed_;
  size_t bytes_ = 0;
};

}  // namespace tevgen

#endif  // TEVGEN_PLATFORM_LINK_TARGETS_H_
