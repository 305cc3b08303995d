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
  return {true, {{"A", "", "10.0.0.2", system_role::main, ""},
                 {backup, "", "10.0.0.3", system_role::backup, "A"}}, {1}, 0};
}

// A Main whose event model (192 KiB) comes in 12 pieces 50 ms apart; `cut`
// stops after half of it, then holds the connection (with a Content-Length)
// or closes it (without one).
enum class stream { steady, stalls, closes };

TEST(EventModelSyncTest, ASlowModelIsWrittenBackWholeAndACutOneNever) {
  const std::string model = "{\"Name\":\"Show\",\"Data\":\"" + std::string(196608, 'a') + "\"}";
  for (stream mode : {stream::steady, stream::stalls, stream::closes}) {
    std::string answer = "{}";
    loopback_server main([&](int fd, const std::string& request) {
      const bool get_model = request.find("GetEventModel") != std::string::npos;
      const bool post = request.rfind("POST", 0) == 0;
      if (post) answer = operator_control_json(pair_policy("B"), 0);
      if (!get_model) {
        loopback_server::send_text(fd, "HTTP/1.1 200 OK\r\n\r\n" + (post ? "OK" : answer));
        return;
      }
      loopback_server::send_text(fd, mode == stream::closes ? "HTTP/1.1 200 OK\r\n\r\n"
                                                            : "HTTP/1.1 200 OK\r\nContent-Length: " +
                                                                  std::to_string(model.size()) +
                                                                  "\r\n\r\n");
      const size_t piece = model.size() / 12;
      for (size_t at = 0; at < (mode == stream::steady ? model.size() : model.size() / 2);
           at += piece) {
        loopback_server::send_text(fd, model.substr(at, piece));
        std::this_thread::sleep_for(50ms);
      }
      if (mode == stream::stalls) std::this_thread::sleep_for(500ms);
    });
    std::string message;
    const bool ok = event_policy_client().synchronize_event_policy(
        "127.0.0.1", main.port(), pair_policy("B"), message, 250);
    const std::vector<std::string> requests = main.requests();
    const std::string posted = requests.size() > 2 ? requests[2] : "\r\n\r\n";
    const int mode_number = static_cast<int>(mode);
    if (mode == stream::steady) {
      EXPECT_TRUE(ok) << message;
      const std::string form = event_model_form(
          place_operator_control(model, operator_control_json(pair_policy("B"), 0)));
      EXPECT_EQ(posted.substr(posted.find("\r\n\r\n") + 4), form);
    } else {
      EXPECT_EQ(message, kEventUnreadable) << mode_number;
      EXPECT_EQ(requests.size(), 2u) << mode_number;
    }
  }
}

// Stands in for the Main: the first write is slow and waits until the
// operator has changed the Backup; records the Backup of every write.
class slow_main : public event_policy_client {
 public:
  explicit slow_main(control_config& config) : config_(config) {}
  bool synchronize_event_policy(const std::string&, uint16_t, const event_policy& desired,
                                std::string& message, int) const override {
    most_ = std::max(most_.load(), ++inside_);
    if (calls_++ == 0) {
      (void)testing::eventually([&] { return config_.backup_for("A")->serial == "C"; }, 2s);
      std::this_thread::sleep_for(100ms);
    }
    {
      mutex_lock lock(mutex_);
      written_.push_back(desired.systems.at(1).serial);
    }
    --inside_;
    message = kPolicySynchronized;
    return true;
  }
  control_config& config_;
  mutable std::atomic<int> inside_{0}, most_{0}, calls_{0};
  mutable mutex mutex_;
  mutable std::vector<std::string> written_ GUARDED_BY(mutex_);
};

TEST(EventModelSyncTest, SynchronisationsNeverInterleaveAndTheLastWriteIsTheCurrentPairing) {
  testing::temp_dir dir;
  control_config config(dir.file("operator-control.json"));
  config.merge_discovered({{"10.0.0.2", 5000, "", "A"}, {"10.0.0.3", 5000, "", "B"},
                           {"10.0.0.4", 5000, "", "C"}});
  config.configure_pair(true, "A", "B");
  slow_main main(config);
  std::string first_message, second_message;
  std::thread refresh([&] { synchronize_controller_policy(config, main, first_message); });
  ASSERT_TRUE(testing::eventually([&] { return main.calls_ > 0; }, 2s));
  config.configure_pair(true, "A", "C");
  EXPECT_TRUE(synchronize_controller_policy(config, main, second_message));
  refresh.join();
  EXPECT_EQ(main.most_, 1);
  mutex_lock lock(main.mutex_);
  // The first call wrote B, found C chosen meanwhile and wrote C; then the second.
  EXPECT_EQ(main.written_, (std::vector<std::string>{"B", "C", "C"}));
  EXPECT_TRUE(config.policy_synchronized());
}

}  // namespace
}  // namespace tolvarine::operator_control
