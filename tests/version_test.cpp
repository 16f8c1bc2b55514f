// The version and commit baked in at configure time: never empty, and the commit a full hash
// when the build comes from a git checkout.
#include "base/version.h"

#include <gtest/gtest.h>

#include <string>

TEST(BuildVersionTest, VersionAndCommitAreFilledIn) {
  const BuildVersion v = build_version();
  ASSERT_FALSE(v.version.empty());
  ASSERT_FALSE(v.commit.empty());
  if (v.commit != "unknown") {
    EXPECT_EQ(v.commit.size(), 40u) << v.commit;
    EXPECT_EQ(v.commit.find_first_not_of("0123456789abcdef"), std::string_view::npos) << v.commit;
  }
}
