#include "server/name_lookup.h"

#include <gtest/gtest.h>

#include <future>

#include "protection/control_sender.h"
#include "server/http_client.h"

namespace tolvarine::operator_control {
namespace {

// With the resolver hanging, an action and a health request give up at
// their own time limit; a failing one gives the resolution message;
// numeric addresses never ask it.
TEST(NameLookupTest, LookupsCostOnlyTheCallsOwnTimeLimit) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  auto asked = std::make_shared<std::atomic<int>>(0);
  const name_lookup_fn previous = set_name_lookup(
      [=](const std::string& host, const std::string&, int, int) {
        if (++*asked && host != "gone.example") released.wait();
        return std::optional<std::vector<resolved_address>>();
      });
  std::string error;
  EXPECT_EQ(http_request("server.example", 5000, "GET", "/", "", "", 100, 4096).status, 0);
  for (const char* host : {"device.example", "gone.example"}) {
    EXPECT_FALSE(send_control_string(host, 9000, false, "GO", 100, &error));
    EXPECT_EQ(error, "Destination could not be resolved.") << host;
  }
  EXPECT_TRUE(send_control_string("127.0.0.1", 9, true, "GO", 100, &error));
  EXPECT_EQ(asked->load(), 3);
  release.set_value();  // the hanging lookups end only now
  set_name_lookup(previous);
}

}  // namespace
}  // namespace tolvarine::operator_control
