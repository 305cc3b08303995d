// The admin server on 127.0.0.1:5251 inside the private network with the
// real registry, discovery, router, event-policy client, deck adapter and
// protection service, and two simulated show servers.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "protection/protection_service.h"
#include "routing/command_router.h"
#include "server/event_policy_client.h"
#include "server/server_discovery.h"
#include "streamdeck/streamdeck_adapter.h"
#include "support/simulator.h"
#include "support/test_env.h"
#include "web/admin_server.h"
#include "web/test_http_client.h"

namespace tolvarine::operator_control {

class AdminNetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing::in_test_network()) FAIL() << testing::kNeedsTestNetwork;
    main_ = std::make_unique<testing::simulator>("10.77.0.2", "S-MAIN", "Server A");
    backup_ = std::make_unique<testing::simulator>("10.77.0.3", "S-BACK", "Server B");
    ASSERT_TRUE(main_->serving() && backup_->serving());
    ASSERT_TRUE(server_.start(kAdminPort));
  }
  void TearDown() override { server_.stop(); }

  // The body of the reply to `request`, whose status must be `expected_status`.
  std::string call(const std::string& request, int expected_status) {
    const auto reply = testing::exchange(kAdminPort, request);
    if (!reply) {
      ADD_FAILURE() << "no reply to " << request;
      return "";
    }
    EXPECT_EQ(testing::status_of(*reply), expected_status) << request << "\n" << *reply;
    return testing::body_of(*reply);
  }

  std::unique_ptr<testing::simulator> main_;
  std::unique_ptr<testing::simulator> backup_;
  testing::temp_dir dir_;
  control_config config_{dir_.file("operator-control.json")};
  server_discovery discovery_;
  event_policy_client policy_client_;
  command_router router_{config_, [](const std::string&) {}};
  std::unique_ptr<streamdeck_adapter> decks_ = make_streamdeck_adapter();
  protection_service protection_{config_};
  admin_server server_{config_, discovery_, router_, policy_client_, *decks_, protection_};
};

}  // namespace tolvarine::operator_control
