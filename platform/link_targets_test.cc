#include "platform/link_targets.h"

#include <gtest/gtest.h>

#include <string>

namespace tevgen {
namespace {

struct stat LinkStatus() {
  struct stat link {};
  link.st_dev = 8;
  link.st_ino = 1234;
  link.st_uid = 65534;
  link.st_size = 3;
  link.st_ctim = {1700000000, 500};
  return link;
}

// A link that took the number of a removed one is another link unless all
// that is kept of it matches: its target is never taken from the old one.
TEST(LinkTargetsTest, FindsALinkOnlyByAllOfItsIdentity) {
  const struct {
    const char* what;
    void (*change)(struct stat*);
    bool found;
  } kRows[] = {
      {"the same link", [](struct stat*) {}, true},
      {"another device", [](struct stat* s) { s->st_dev = 9; }, false},
      {"another inode", [](struct stat* s) { s->st_ino = 1235; }, false},
      {"another owner", [](struct stat* s) { s->st_uid = 0; }, false},
      {"another length", [](struct stat* s) { s->st_size = 4; }, false},
      {"changed a second later", [](struct stat* s) { s->st_ctim.tv_sec += 1; },
       false},
      {"changed a nanosecond later",
       [](struct stat* s) { s->st_ctim.tv_nsec += 1; }, false},
  };
  LinkTargets targets;
  targets.Add(LinkStatus(), {false, {"l38"}});
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.what);
    struct stat link = LinkStatus();
    row.change(&link);
    LinkTargets::Target found{true, {"kept"}};
    EXPECT_EQ(targets.Find(link, &found), row.found);
    if (row.found) {
      EXPECT_FALSE(found.absolute);
      EXPECT_EQ(found.names, std::vector<std::string>{"l38"});
    }
  }
  targets.Clear();
  LinkTargets::Target found;
  EXPECT_FALSE(targets.Find(LinkStatus(), &found));
}

// Past its budget a link is not kept (it is read again each time), and
// what was kept stays.
TEST(LinkTargetsTest, KeepsNoMoreThanItsBudget) {
  LinkTargets targets;
  const std::string name(4096, 'n');
  struct stat link = LinkStatus();
  size_t kept = 0;
  for (; kept < 100000; ++kept) {
    link.st_ino = 1000 + kept;
    targets.Add(link, {false, {name}});
    LinkTargets::Target found;
    if (!targets.Find(link, &found)) break;
  }
  EXPECT_GT(kept, 1000u);
  EXPECT_LE(kept * name.size(), LinkTargets::kMostBytes);
  link.st_ino = 1000;
  LinkTargets::Target found;
  EXPECT_TRUE(targets.Find(link, &found));
}

}  // namespace
}  // namespace tevgen
