#include "control/settings.h"

#include <gtest/gtest.h>

#include "test_support.h"

TEST(SettingsFile, WrittenFormReadsBack) {
  ScratchDir dir;
  DetectionSettings s{2, 7, 12.5f, 3.25f, 5.0f, 4.0f, 4.5f, 11, 12, 13, 14, 95.0f, 1, 60};
  std::string error;
  ASSERT_TRUE(write_settings_file(s, error)) << error;
  DetectionSettings back;
  std::vector<std::string> problems;
  ASSERT_TRUE(read_settings_file("settings.txt", back, problems, error)) << error;
  EXPECT_TRUE(problems.empty());
  EXPECT_EQ(format_settings(back), format_settings(s));
}
