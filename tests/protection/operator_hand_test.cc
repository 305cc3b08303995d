#include <gtest/gtest.h>

#include "protection/protection_fixture.h"

namespace tolvarine::operator_control {
namespace {

constexpr const char* kNotReady =
    "Requested server is not ready for takeover. Check engine and protected outputs.";

using OperatorHandTest = ProtectionFixture;

// An operator transfer needs a target answering now, so the next pass
// cannot declare it lost and fail over again.
TEST_F(OperatorHandTest, ReturnToMainNeedsAMainAnsweringNow) {
  settle();
  ASSERT_EQ(operate("backup"), "ok");
  pass_healthy();
  advance(900);
  pass(std::nullopt, healthy());
  EXPECT_EQ(operate("main"), kNotReady);
  pass_healthy();
  EXPECT_EQ(operate("main"), "ok");
  for (int i = 0; i < 8; ++i) {
    advance(250);
    pass_healthy();
  }
  EXPECT_FALSE(service_->held_on_backup());
  EXPECT_EQ(service_->active_serial(), kMain);
}

// After a restart a held show stays on the Backup until the Backup has
// been polled without an answer for lossMs.
TEST_F(OperatorHandTest, RestartKeepsTheBackupUntilItIsSilentForLossMs) {
  settle();
  ASSERT_EQ(operate("backup"), "ok");
  make_service();
  for (int waited = 0; waited < 1000; waited += 250) {
    pass(healthy(), std::nullopt);
    EXPECT_TRUE(service_->selection_pending()) << waited;
    EXPECT_TRUE(service_->held_on_backup()) << waited;
    advance(250);
  }
  pass(healthy(), std::nullopt);
  EXPECT_EQ(service_->active_serial(), kMain);
  EXPECT_FALSE(service_->held_on_backup());
}

}  // namespace
}  // namespace tolvarine::operator_control
