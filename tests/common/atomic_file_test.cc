#include "common/atomic_file.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>

#include "support/test_env.h"

namespace tolvarine::operator_control {
namespace {

int failing_sync(int) {
  errno = EIO;
  return -1;
}

TEST(AtomicFile, ReplacesWholeFilesAndAFailedStepKeepsTheOldContent) {
  testing::temp_dir dir;
  const std::string nested = dir.file("sub/folder/settings.json");
  std::string error, content;
  ASSERT_TRUE(replace_file(nested, "first", &error) && replace_file(nested, "second", &error)) << error;
  ASSERT_TRUE(read_file(nested, &content));
  EXPECT_EQ(content, "second");
  EXPECT_FALSE(std::filesystem::exists(nested + ".tmp"));

  // A parent that is a regular file makes the temporary file uncreatable,
  // even for root; a folder in the file's place refuses the rename. Only a
  // failed folder flush comes after the new content is in place.
  const std::string path = dir.file("settings.json"), blocked = dir.file("plain/settings.json");
  const std::string folder = dir.file("folder");
  testing::write_text(dir.file("plain"), "x");
  std::filesystem::create_directories(folder + "/inside");
  struct row {
    std::string path;
    sync_fn file, folder;
    const char* content;  // of `path` after the failed save
    std::string error;
  } rows[] = {
      {path, failing_sync, ::fsync, "old", "Unable to write " + path + ".tmp: Input/output error."},
      {path, ::fsync, failing_sync, "new", "Unable to flush " + dir.path() + ": Input/output error."},
      {blocked, ::fsync, ::fsync, "old", "Unable to create " + blocked + ".tmp: Not a directory."},
      {folder, ::fsync, ::fsync, "old", "Unable to replace " + folder + ": Is a directory."},
  };
  for (const row& r : rows) {
    testing::write_text(path, "old");
    EXPECT_FALSE(replace_file(r.path, "new", &error, r.file, r.folder)) << r.error;
    EXPECT_EQ(error, r.error);
    EXPECT_EQ(testing::read_text(path), r.content) << r.error;
    EXPECT_FALSE(std::filesystem::exists(r.path + ".tmp")) << r.error;
  }
}

}  // namespace
}  // namespace tolvarine::operator_control
