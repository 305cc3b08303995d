#include <gtest/gtest.h>

#include <future>

#include "common/atomic_file.h"
#include "protection/protection_service.h"
#include "support/test_env.h"

namespace tolvarine::operator_control {
namespace {

using namespace std::chrono_literals;

// A save held by a slow disk for up to 3 s: the status document and the
// read-outs answer meanwhile, showing the state before the move.
TEST(SlowSaveTest, StatusAnswersWhileASaveIsBlocked) {
  testing::temp_dir dir;
  control_config config(dir.file("operator-control.json"));
  std::promise<void> entered, release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<bool> slow{false};
  protection_service::environment env;
  env.save = [&](const std::string& path, const std::string& text) {
    if (slow.exchange(false)) {
      entered.set_value();
      released.wait_for(3s);
    }
    return replace_file(path, text);
  };
  protection_service service(config, env);
  slow = true;
  auto disarm = std::async(std::launch::async, [&] {
    std::string error;
    return service.operate("disarm", &error);
  });
  entered.get_future().wait();
  const std::string status = service.json();
  EXPECT_EQ(disarm.wait_for(0s), std::future_status::timeout) << "status waited for the save";
  EXPECT_NE(status.find("\"armed\":true"), std::string::npos) << status;
  EXPECT_TRUE(service.policy().armed);
  release.set_value();
  EXPECT_TRUE(disarm.get());
  EXPECT_FALSE(service.policy().armed);
  EXPECT_NE(service.json().find("\"armed\":false"), std::string::npos);
}

}  // namespace
}  // namespace tolvarine::operator_control
