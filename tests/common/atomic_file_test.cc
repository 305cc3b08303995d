#include "common/atomic_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "support/test_env.h"

namespace tolvarine::operator_control {
namespace {

using testing::temp_dir;

TEST(AtomicFile, ReplacesWholeFileAndLeavesNoTemporary) {
  temp_dir dir;
  const std::string path = dir.file("sub/folder/settings.json");
  std::string error;
  ASSERT_TRUE(replace_file(path, "first", &error)) << error;
  ASSERT_TRUE(replace_file(path, "second", &error)) << error;
  std::string content;
  ASSERT_TRUE(read_file(path, &content));
  EXPECT_EQ(content, "second");
  EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
}

TEST(AtomicFile, FailureKeepsOldFileAndReportsReason) {
  temp_dir dir;
  // A parent that is a regular file makes the temporary file uncreatable,
  // even for root.
  testing::write_text(dir.file("plain"), "x");
  std::string error;
  EXPECT_FALSE(replace_file(dir.file("plain/settings.json"), "data", &error));
  EXPECT_NE(error.find("Unable to create"), std::string::npos) << error;
  std::string content;
  EXPECT_FALSE(read_file(dir.file("missing.json"), &content));
}

}  // namespace
}  // namespace tolvarine::operator_control
