#include "server/event_policy_client.h"

#include <gtest/gtest.h>

#include <thread>

#include "server/loopback_server.h"
#include "support/test_env.h"

namespace tolvarine::operator_control {
namespace {

using namespace std::chrono_literals;
using testing::loopback_server;

event_policy pair_policy(const std::string& backup) {
  return {true, {{"A", "", "", system_role::main, ""}, {backup, "", "", system_role::backup, "A"}},
          {1}, 0};
}

// A Main whose 192 KiB event model comes in pieces 50 ms apart, each within
// the 250 ms time-out: 12 pieces (steady), 1 KiB pieces past the ceiling of
// ten time-outs (trickles), or half the model, then a 500 ms stall (stalls)
// or, without a Content-Length, the end of the stream (closes).
enum class stream { steady, trickles, stalls, closes };

TEST(EventModelSyncTest, ASlowModelIsWrittenBackWholeAndACutOneNever) {
  const std::string model = "{\"Name\":\"Show\",\"Data\":\"" + std::string(196608, 'a') + "\"}";
  for (stream mode : {stream::steady, stream::trickles, stream::stalls, stream::closes}) {
    std::string answer = "{}";
    loopback_server main([&](int fd, const std::string& request) {
      const bool post = request.rfind("POST", 0) == 0;
      if (post) answer = operator_control_json(pair_policy("B"), 0);
      std::string head = "HTTP/1.1 200 OK\r\n";
      if (request.find("GetEventModel") == std::string::npos) {
        return (void)loopback_server::send_text(fd, head + "\r\n" + (post ? "OK" : answer));
      }
      if (mode != stream::closes) head += "Content-Length: " + std::to_string(model.size()) + "\r\n";
      loopback_server::send_text(fd, head + "\r\n");
      const size_t piece = mode == stream::trickles ? 1024 : model.size() / 12;
      const size_t end = mode >= stream::stalls ? model.size() / 2 : model.size();
      for (size_t at = 0; at < end && loopback_server::send_text(fd, model.substr(at, piece));
           at += piece) {
        std::this_thread::sleep_for(50ms);
      }
      if (mode == stream::stalls) std::this_thread::sleep_for(500ms);
    });
    std::string message;
    const bool ok = event_policy_client().synchronize_event_policy(
        "127.0.0.1", main.port(), pair_policy("B"), message, 250);
    const std::vector<std::string> requests = main.requests();
    EXPECT_EQ(ok, mode == stream::steady) << message;
    EXPECT_EQ(requests.size(), mode == stream::steady ? 4u : 2u) << static_cast<int>(mode);
    if (ok) {
      EXPECT_TRUE(requests[2].ends_with("\r\n\r\n" + event_model_form(place_operator_control(
                                            model, operator_control_json(pair_policy("B"), 0)))));
    }
  }
}

// Stands in for the Main: the first write waits until the operator has
// chosen Backup C; records the Backup of every write.
struct slow_main : event_policy_client {
  control_config& config;
  mutable std::vector<std::string> written;  // serialised by the code under test
  mutable std::atomic<bool> started{false};
  explicit slow_main(control_config& c) : config(c) {}
  bool synchronize_event_policy(const std::string&, uint16_t, const event_policy& desired,
                                std::string& message, int) const override {
    if (!started.exchange(true)) {
      (void)testing::eventually([&] { return config.backup_for("A")->serial == "C"; }, 2s);
      std::this_thread::sleep_for(100ms);
    }
    written.push_back(desired.systems.at(1).serial);
    message = kPolicySynchronized;
    return true;
  }
};

TEST(EventModelSyncTest, SynchronisationsNeverInterleaveAndTheLastWriteIsTheCurrentPairing) {
  testing::temp_dir dir;
  control_config config(dir.file("operator-control.json"));
  config.merge_discovered({{"10.0.0.2", 5000, "", "A"}, {"10.0.0.3", 5000, "", "B"},
                           {"10.0.0.4", 5000, "", "C"}});
  config.configure_pair(true, "A", "B");
  slow_main main(config);
  std::string first, second;
  std::thread refresh([&] { (void)synchronize_controller_policy(config, main, first); });
  ASSERT_TRUE(testing::eventually([&] { return main.started.load(); }, 2s));
  config.configure_pair(true, "A", "C");
  EXPECT_TRUE(synchronize_controller_policy(config, main, second));
  refresh.join();
  // The first call wrote B, found C chosen meanwhile and wrote C; then the second.
  EXPECT_EQ(main.written, (std::vector<std::string>{"B", "C", "C"}));
  EXPECT_TRUE(config.policy_synchronized());
}

}  // namespace
}  // namespace tolvarine::operator_control
