#include "platform/walk_policy.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

namespace tevgen {
namespace {

constexpr uid_t kRoot = 0, kMe = 1000, kNobody = 65534, kThird = 65533;

Observed Dir(uid_t owner, mode_t mode) { return {owner, S_IFDIR | mode}; }
Observed File(uid_t owner, mode_t mode, nlink_t links = 1) {
  return {owner, S_IFREG | mode, links};
}
Observed Link(uid_t owner) { return {owner, S_IFLNK | 0777}; }

// One name of a way, as the walk meets it.
enum class What {
  kIn,      // the folder the walk begins in
  kRoot,    // "/", entered for an absolute link's target
  kLink,    // a link in the folder the walk is in
  kFolder,  // a folder passed through
  kParent,  // ".."
  kLast,    // the last name, which holds `st`
  kNone,    // the last name, missing
};
struct Step {
  What what;
  Observed st = {};
};

// Walks `steps` as path_walk.cc does, asking the rules at each name, and
// returns the English refusal, or "" where the way is followed to `use`.
std::string Walk(const std::vector<Step>& steps, Use use, uid_t me) {
  WayBinding way;
  FolderOnWay folder{};
  bool past_link = false;
  std::optional<Observed> reached;
  auto enter = [&](const Observed& st) {
    bool others = OthersMayWrite(st.mode, st.owner, "", me);
    folder = {st, SharingOf(st, others, me)};
  };
  std::optional<Message> refusal;
  for (const Step& step : steps) {
    if (step.what != What::kIn && step.what != What::kRoot) {
      BindName(folder, past_link, &way);
    }
    switch (step.what) {
      case What::kIn:
        enter(step.st);
        break;
      case What::kRoot:
        enter(step.st);
        refusal = JudgeBoundMay(way, step.st, Access::kSearch);
        break;
      case What::kLink:
        BindLink(folder, step.st.owner, me, &way);
        past_link = true;
        break;
      case What::kFolder:
      case What::kParent:
        refusal = JudgeEntry(way, folder.st, step.st,
                             step.what == What::kParent, false, me);
        enter(step.st);
        break;
      case What::kLast:
        refusal = JudgeEntry(way, folder.st, step.st, false, true, me);
        reached = step.st;
        break;
      case What::kNone:
        break;
    }
    if (refusal) return refusal->Text(Language::kEnglish);
  }
  refusal = JudgeReachedFor(way, use, reached ? &*reached : nullptr, folder.st);
  if (!refusal && use == Use::kRead && reached) {
    switch (JudgeRead(folder.sharing, folder.st, *reached, me)) {
      case ReadVerdict::kRead:
        break;
      case ReadVerdict::kRefuseHardLink:
        refusal = HardLinkRefusal(reached->owner);
        break;
      case ReadVerdict::kRefuseUnreadableForWriters:
        refusal = UnreadableForWritersRefusal(reached->owner);
        break;
    }
  }
  return refusal ? refusal->Text(Language::kEnglish) : "";
}

// The ways of the attacker tables (FaultTest.LinksInAnotherUsersFolder*,
// FaultTest.RacesAndLinksOfAnotherUser*, EnvLinuxTest's links), each with
// the refusal the run gives there; "" where the run follows it.
TEST(WalkPolicyTest, AttackersWaysAreRefusedAsTheRunRefusesThem) {
  const Step kSlash = {What::kRoot, Dir(kRoot, 0755)};
  const Step kTmp = {What::kFolder, Dir(kRoot, 01777)};
  const Step kRootsFiles = {What::kFolder, Dir(kRoot, 0755)};
  const Step kTheirs = {What::kIn, Dir(kNobody, 0755)};  // theirs alone
  const std::string refused = "not following a link of user 65534 to a ";
  const std::string unread = " that the folder's writers may not read";
  const struct {
    const char* what;
    std::vector<Step> steps;
    Use use;
    std::string refusal;
    uid_t me = kRoot;
  } kRows[] = {
      // clang-format off
      {"their link to root's secret, replaced",
       {kTheirs, {What::kLink, Link(kNobody)}, kSlash, kTmp, kRootsFiles,
        {What::kLast, File(kRoot, 0600)}},
       Use::kReplace, refused + "file of user 0"},
      {"their link to root's secret, read",
       {kTheirs, {What::kLink, Link(kNobody)}, kSlash, kTmp, kRootsFiles,
        {What::kLast, File(kRoot, 0600)}},
       Use::kRead, refused + "file of user 0"},
      {"their link to a catalogue not yet in root's folder",
       {kTheirs, {What::kLink, Link(kNobody)}, kSlash, kTmp, kRootsFiles,
        {What::kNone}},
       Use::kReplace, refused + "folder of user 0"},
      {"their link to their own catalogue",
       {kTheirs, {What::kLink, Link(kNobody)}, kSlash, kTmp,
        {What::kFolder, Dir(kNobody, 0700)},
        {What::kLast, File(kNobody, 0644)}},
       Use::kReplace, ""},
      {"root's link to what all may read",
       {kTheirs, {What::kLink, Link(kRoot)}, kSlash, kTmp, kRootsFiles,
        {What::kLast, File(kRoot, 0644)}},
       Use::kRead, ""},
      {"their link to what all may read",
       {kTheirs, {What::kLink, Link(kNobody)}, kSlash, kTmp, kRootsFiles,
        {What::kLast, File(kRoot, 0644)}},
       Use::kRead, ""},
      {"their link to root's secret, in a run of theirs",
       {{What::kIn, Dir(kNobody, 0755)}, {What::kLink, Link(kNobody)},
        kSlash, kTmp, kRootsFiles, {What::kLast, File(kRoot, 0600)}},
       Use::kRead, "", kNobody},
      {"a third user's link to their file, moved in by the folder's owner",
       {kTheirs, {What::kLink, Link(kThird)}, kSlash, kTmp, kRootsFiles,
        {What::kLast, File(kThird, 0644)}},
       Use::kReplace, refused + "file of user 65533"},
      {"a file that exists where the link's owner cannot look",
       {kTheirs, {What::kLink, Link(kNobody)}, kSlash, kTmp, kRootsFiles,
        {What::kFolder, Dir(kRoot, 0700)}, {What::kLast, File(kRoot, 0644)}},
       Use::kRead, refused + "folder of user 0"},
      {"a file missing where the link's owner cannot look",
       {kTheirs, {What::kLink, Link(kNobody)}, kSlash, kTmp, kRootsFiles,
        {What::kFolder, Dir(kRoot, 0700)}, {What::kNone}},
       Use::kRead, refused + "folder of user 0"},
      {"1: their folder exchanged with a link to root's folder",
       {kTheirs, {What::kLink, Link(kNobody)}, kSlash, kTmp, kRootsFiles,
        {What::kLast, Dir(kRoot, 0755)}},
       Use::kList, refused + "folder of user 0"},
      {"1: a folder of root's renamed in place of theirs",
       {kTheirs, {What::kFolder, Dir(kRoot, 0755)},
        {What::kLast, File(kRoot, 0644)}},
       Use::kReplace,
       "not entering a folder of user 0 in a folder of user 65534"},
      {"2: root's link in their folder to root's secret",
       {kTheirs, {What::kLink, Link(kRoot)}, kSlash, kTmp, kRootsFiles,
        {What::kLast, File(kRoot, 0600)}},
       Use::kRead, refused + "file of user 0"},
      {"3: root's link to their link to root's secret",
       {kTheirs, {What::kLink, Link(kRoot)}, {What::kLink, Link(kNobody)},
        kSlash, kTmp, kRootsFiles, {What::kLast, File(kRoot, 0600)}},
       Use::kRead, refused + "file of user 0"},
      {"4: a folder on root's link's way replaced by their link",
       {kTheirs, {What::kLink, Link(kRoot)}, {What::kLink, Link(kNobody)},
        kSlash, kTmp, kRootsFiles, {What::kLast, File(kRoot, 0644)}},
       Use::kReplace, refused + "file of user 0"},
      {"5: root's private file moved into their folder",
       {kTheirs, {What::kLast, File(kRoot, 0600)}}, Use::kRead,
       "not reading a file of user 0" + unread},
      {"5: an orphaned hard link to a third user's private file",
       {kTheirs, {What::kLast, File(kThird, 0600)}}, Use::kRead,
       "not reading a file of user 65533" + unread},
      {"5: a hard link to root's file",
       {kTheirs, {What::kLast, File(kRoot, 0600, 2)}}, Use::kRead,
       "not following a hard link to a file of user 0"},
      {"5: a hard link to root's link to root's secret",
       {kTheirs, {What::kLink, Link(kRoot)}, kSlash, kTmp, kRootsFiles,
        {What::kLast, File(kRoot, 0600)}},
       Use::kRead, refused + "file of user 0"},
      {"6: their link to their file in an upload folder",
       {kTheirs, {What::kLink, Link(kNobody)}, kSlash, kTmp, kRootsFiles,
        {What::kFolder, Dir(kRoot, 01777)}, {What::kLast, File(kNobody, 0644)}},
       Use::kReplace, ""},
      {"a hard link to root's file, reached through ..",
       {{What::kIn, Dir(kRoot, 0700)}, {What::kFolder, Dir(kNobody, 0755)},
        {What::kParent, Dir(kRoot, 0700)}, {What::kFolder, Dir(kNobody, 0755)},
        {What::kLast, File(kRoot, 0600, 2)}},
       Use::kRead, "not following a hard link to a file of user 0"},
      // Through a team folder: anybody may have swapped the folders there.
      {"my link through a folder everybody writes",
       {{What::kIn, Dir(kMe, 0755)}, {What::kLink, Link(kMe)},
        {What::kParent, Dir(kMe, 0700)}, {What::kFolder, Dir(kMe, 0777)},
        {What::kFolder, Dir(kMe, 0755)}, {What::kNone}},
       Use::kReplace,
       "not following a link in a folder others may write to a folder of "
       "user 1000", kMe},
      {"a link of root's in a team folder, to a private file",
       {{What::kIn, Dir(kNobody, 0775)}, {What::kLink, Link(kRoot)}, kSlash,
        kTmp, kRootsFiles, {What::kLast, File(kRoot, 0600)}},
       Use::kRead,
       "not following a link in a folder others may write to a file of "
       "user 0"},
      // Only its owner puts a link in an upload folder like /tmp.
      {"my link in /tmp to my file",
       {{What::kIn, Dir(kRoot, 01777)}, {What::kLink, Link(kMe)},
        {What::kParent, Dir(kRoot, 0755)}, {What::kFolder, Dir(kMe, 0700)},
        {What::kLast, File(kMe, 0600)}},
       Use::kReplace, "", kMe},
      {"a link in their sticky folder others write",
       {{What::kIn, Dir(kNobody, 01777)}, {What::kLink, Link(kMe)},
        {What::kParent, Dir(kRoot, 0755)}, {What::kFolder, Dir(kMe, 0755)},
        {What::kLast, File(kMe, 0600)}},
       Use::kReplace,
       "not following a link in a folder others may write to a file of "
       "user 1000", kMe},
      // clang-format on
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.what);
    EXPECT_EQ(Walk(row.steps, row.use, row.me), row.refusal);
  }
}

}  // namespace
}  // namespace tevgen
