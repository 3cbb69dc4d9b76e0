#include "platform/sharing_rule.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

namespace tevgen {
namespace {

constexpr uid_t kRoot = 0, kMe = 1000, kOwner = 2000, kThird = 3000;

// An access control list as the system stores it: a version, then entries
// of tag, permissions and id, little-endian.
std::string Acl(std::initializer_list<std::array<uint32_t, 3>> entries) {
  std::string bytes = {2, 0, 0, 0};
  for (const auto& [tag, perm, id] : entries) {
    for (uint32_t value : {tag, perm}) {
      bytes += static_cast<char>(value & 0xFF);
      bytes += static_cast<char>(value >> 8);
    }
    for (int i = 0; i < 4; ++i) bytes += static_cast<char>(id >> (8 * i));
  }
  return bytes;
}

TEST(SharingRuleTest, OthersMayWriteByModeAndList) {
  constexpr uint32_t kUser = 0x02, kGroup = 0x08, kMask = 0x10;
  const struct {
    mode_t mode;
    std::string acl;
    bool others;
  } kCases[] = {
      {0755, "", false},
      {01777, "", true},
      {0775, "", true},  // the group, without a list
      {0775, Acl({{kUser, 7, kMe}, {kMask, 7, 0}}), false},
      {0775, Acl({{kUser, 7, kThird}, {kMask, 7, 0}}), true},
      {0775, Acl({{kUser, 7, kThird}, {kMask, 5, 0}}), false},  // masked
      {0775, Acl({{kGroup, 7, 50}, {kMask, 7, 0}}), true},
      {0775, Acl({{kUser, 7, kOwner}, {kMask, 7, 0}}), false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.mode);
    EXPECT_EQ(OthersMayWrite(c.mode, kOwner, c.acl, kMe), c.others);
  }
}

// Whether a file found in a folder is read: the rule depends on who owns
// it and who may read it, never on its link count alone.
TEST(SharingRuleTest, AFileOfAThirdUserIsReadOnlyWhenItsWritersCouldReadIt) {
  using V = ReadVerdict;
  const Observed kTheirs = {kOwner, 0755};
  const Observed kMany = {kRoot, 01777};
  const struct {
    const char* what;
    Sharing sharing;
    Observed folder;
    Observed file;
    ReadVerdict verdict;
  } kCases[] = {
      // clang-format off
      {"my folder", Sharing::kPrivate, {kMe, 0755}, {kThird, 0600, 2},
       V::kRead},
      {"the owner's file", Sharing::kOwner, kTheirs, {kOwner, 0600},
       V::kRead},
      {"the owner's file, two names", Sharing::kOwner, kTheirs,
       {kOwner, 0600, 2}, V::kRead},
      {"a third user's file, two names", Sharing::kOwner, kTheirs,
       {kThird, 0600, 2}, V::kRefuseHardLink},
      // Its owner saved it anew: the planted name is its only one.
      {"an orphaned hard link", Sharing::kOwner, kTheirs, {kThird, 0600, 1},
       V::kRefuseUnreadableForWriters},
      {"a third user's file all may read", Sharing::kOwner, kTheirs,
       {kThird, 0644, 1}, V::kRead},
      // A run that may read past modes (the service) must not read it.
      {"root's file moved in", Sharing::kOwner, kTheirs, {kRoot, 0600},
       V::kRefuseUnreadableForWriters},
      {"root's file all may read", Sharing::kOwner, kTheirs, {kRoot, 0644},
       V::kRead},
      {"root's file in its upload folder", Sharing::kMany, kMany,
       {kRoot, 0600}, V::kRefuseUnreadableForWriters},
      {"my file moved in", Sharing::kOwner, kTheirs, {kMe, 0640},
       V::kRefuseUnreadableForWriters},
      {"an upload all may read", Sharing::kMany, kMany, {kThird, 0644},
       V::kRead},
      {"an orphaned link in an upload folder", Sharing::kMany, kMany,
       {kThird, 0600}, V::kRefuseUnreadableForWriters},
      {"the owner's file in a team folder", Sharing::kMany, {kOwner, 0775},
       {kOwner, 0600}, V::kRead},
      // clang-format on
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(JudgeRead(c.sharing, c.folder, c.file, kMe), c.verdict);
  }
}

}  // namespace
}  // namespace tevgen
