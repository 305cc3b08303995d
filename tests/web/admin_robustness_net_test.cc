#include <gtest/gtest.h>

#include <deque>
#include <random>

#include "web/admin_net_fixture.h"
#include "web/admin_server.h"

namespace tolvarine::operator_control {
namespace {

using namespace std::chrono_literals;
using testing::raw_connection;

// Hostile and malformed requests of every kind, interleaved with status
// reads: the server keeps answering within the stall limit, and the
// settings stay a readable document.
class AdminRobustnessNetTest : public AdminNetTest {
 protected:
  // One hostile request of kind `kind`. Connections the server drops only
  // after the stall limit are parked in `held_` so the run does not wait.
  void send_hostile(int kind, std::mt19937& random) {
    auto connection = std::make_unique<raw_connection>(kAdminPort);
    ASSERT_TRUE(connection->ok());
    static const char* const wrong_type_paths[] = {"/api/route",
                                                   "/api/shared",
                                                   "/api/role",
                                                   "/api/configure",
                                                   "/api/protection",
                                                   "/api/protection/test",
                                                   "/api/protection/operate"};
    std::string junk(64 + random() % 512, '\0');
    for (char& c : junk) c = static_cast<char>(random());
    switch (kind) {
      case 0:  // connects and sends nothing
        break;
      case 1:  // no CR LF, then half-close
        (void)connection->send_text("GET /api/status HTTP/1.1");
        connection->finish_sending();
        break;
      case 2:  // empty method and path
        (void)connection->send_text("\r\n\r\n");
        break;
      case 3:
        (void)connection->send_text(junk);
        break;
      case 4:  // a body shorter than its Content-Length, left hanging
        (void)connection->send_text(
            "POST /api/route HTTP/1.1\r\nContent-Length: 500\r\n\r\n{\"functionId\":1");
        break;
      case 5:  // JSON of the wrong types on every changing route
        return expect_answer(
            *connection, testing::post(wrong_type_paths[random() % 7],
                                       R"({"functionId":"1","payload":7,"ids":"x","serial":[],)"
                                       R"("role":{},"enabled":"yes","uiPort":"x","operation":12,)"
                                       R"("index":"x"})"));
      case 6:
        return expect_answer(*connection,
                             testing::post("/api/protection/operate", "{\"operation\":\"arm\"}",
                                           "Origin: http://evil.example\r\n"));
      case 7:
        return expect_answer(*connection, testing::get("/api/status?" + std::to_string(random())));
      case 8:  // a header block of megabytes
        (void)connection->send_text("GET /api/status HTTP/1.1\r\nX-Pad: " +
                                    std::string(2 * 1024 * 1024, 'p'));
        break;
      case 9:  // a body past 4 MiB
        (void)connection->send_text("POST /api/shared HTTP/1.1\r\nContent-Length: 5000000\r\n\r\n" +
                                    std::string(4300000, '['));
        break;
    }
    held_.push_back(std::move(connection));
    while (held_.size() > 24) held_.pop_front();
  }

  void expect_answer(raw_connection& connection, const std::string& request) {
    ASSERT_TRUE(connection.send_text(request));
    const auto reply = connection.read_all(3s);
    ASSERT_TRUE(reply) << request;
    const int status = testing::status_of(*reply);
    EXPECT_TRUE(status == 200 || status == 400 || status == 404) << request << "\n" << *reply;
  }

  std::deque<std::unique_ptr<raw_connection>> held_;
};

TEST_F(AdminRobustnessNetTest, SurvivesTwoThousandHostileRequestsAndKeepsAnswering) {
  std::mt19937 random(20261206);
  constexpr int kHostile = 2100;
  std::chrono::nanoseconds worst{0};
  for (int i = 0; i < kHostile; ++i) {
    // The two heavy kinds (megabytes each) only now and then.
    int kind = i % 10;
    if (kind >= 8 && i % 50 >= 10) kind = 5;
    send_hostile(kind, random);
    if (HasFatalFailure()) return;
    if (i % 7 != 0) continue;
    const steady_time start = steady_now();
    const auto reply = testing::exchange(kAdminPort, testing::get("/api/status"), 5s);
    const auto waited = steady_now() - start;
    worst = std::max(worst, std::chrono::duration_cast<std::chrono::nanoseconds>(waited));
    ASSERT_TRUE(reply) << "status read unanswered after hostile request " << i;
    ASSERT_EQ(testing::status_of(*reply), 200);
    EXPECT_LE(waited, 2100ms) << "status read after hostile request " << i;
  }
  held_.clear();
  std::cout << "[robustness] hostile=" << kHostile << " statusReads=" << (kHostile + 6) / 7
            << " worstStatusMs=" << std::chrono::duration<double, std::milli>(worst).count()
            << std::endl;

  // Still serving, and the settings file is still a whole document.
  EXPECT_EQ(call(testing::get("/api/status"), 200).rfind("{\"enabled\":", 0), 0u);
  const std::string saved = testing::read_text(config_.path());
  EXPECT_EQ(saved.rfind("{\"enabled\":", 0), 0u) << saved;
  EXPECT_EQ(saved.back(), '}');
}

}  // namespace
}  // namespace tolvarine::operator_control
