#include "server/name_lookup.h"

#include <gtest/gtest.h>

#include <future>

#include "protection/control_sender.h"
#include "server/http_client.h"

namespace tolvarine::operator_control {
namespace {

using namespace std::chrono_literals;

// With the resolver hanging, an action and a health request give up at
// their own time limit; a failing resolver gives the resolution message;
// numeric addresses never ask it.
TEST(NameLookupTest, LookupsCostOnlyTheCallsOwnTimeLimit) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  auto asked = std::make_shared<std::atomic<int>>(0);
  auto hang = std::make_shared<std::atomic<bool>>(true);
  const name_lookup_fn previous = set_name_lookup(
      [=](const std::string&, const std::string&, int, int)
          -> std::optional<std::vector<resolved_address>> {
        ++*asked;
        if (*hang) released.wait();
        return std::nullopt;
      });
  std::string error;
  EXPECT_FALSE(send_control_string("device.example", 9000, false, "GO", 100, &error));
  EXPECT_EQ(error, "Destination could not be resolved.");
  EXPECT_EQ(http_request("server.example", 5000, "GET", "/", "", "", 100, 4096).status, 0);
  EXPECT_EQ(asked->load(), 2);
  *hang = false;
  error.clear();
  EXPECT_FALSE(send_control_string("gone.example", 9000, true, "GO", 100, &error));
  EXPECT_EQ(error, "Destination could not be resolved.");
  EXPECT_TRUE(send_control_string("127.0.0.1", 9, true, "GO", 100, &error));
  EXPECT_EQ(asked->load(), 3);
  release.set_value();  // the two hanging lookups end now, long after their calls
  set_name_lookup(previous);
}

}  // namespace
}  // namespace tolvarine::operator_control
