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

TEST(AtomicFileSync, AFailedFlushFailsTheSaveAndAFailedWriteKeepsTheOldContent) {
  testing::temp_dir dir;
  const std::string path = dir.file("settings.json");
  struct row {
    sync_fn file, folder;
    const char* content;  // after the failed save
    std::string error;
  };
  for (const row& r : {row{failing_sync, ::fsync, "old", "Unable to write " + path + ".tmp: "},
                       row{::fsync, failing_sync, "new", "Unable to flush " + dir.path() + ": "}}) {
    testing::write_text(path, "old");
    std::string error;
    EXPECT_FALSE(replace_file(path, "new", &error, r.file, r.folder)) << r.content;
    EXPECT_EQ(error, r.error + "Input/output error.");
    EXPECT_EQ(testing::read_text(path), r.content);
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
  }
}

}  // namespace
}  // namespace tolvarine::operator_control
