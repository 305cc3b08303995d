#include "routing/udp_transport.h"

#include <gtest/gtest.h>

#include "routing/test_udp_listener.h"

namespace tolvarine::operator_control {
namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;

TEST(UdpTransport, SendsPayloadsUnchangedAndReportsEachFailure) {
  testing::test_udp_listener listener("127.0.0.1", 0);
  ASSERT_TRUE(listener.ok());
  udp_transport transport;
  auto to = [&](std::string address, bool enabled = true) {
    return system_endpoint{2, std::move(address), listener.port(), 5000, "", "", enabled};
  };
  // A zero-length datagram is still a datagram.
  for (const std::string& payload :
       {"GO|cue=12|layer 3"s, "\x00\x01\xff\r\n|"s, ""s, std::string(1400, 'x')}) {
    const delivery_result r = transport.send(to("127.0.0.1"), payload);
    EXPECT_TRUE(r.attempted && r.sent && r.error.empty() && r.role == 2) << r.error;
    EXPECT_EQ(listener.receive(2000ms), payload);
  }
  for (const std::string& address : {"localhost"s, "127.0.0.1:1256"s, ""s, " 127.0.0.1"s,
                                     "127.0.0.256"s, "::1"s, "127.0.0.1\0junk"s}) {
    const delivery_result r = transport.send(to(address), "GO");
    EXPECT_TRUE(r.attempted && !r.sent) << address;
    EXPECT_EQ(r.error, "Invalid IPv4 address: " + address);
  }
  const delivery_result skipped = transport.send(to("127.0.0.1", false), "GO");
  EXPECT_TRUE(!skipped.attempted && !skipped.sent && skipped.error.empty());
  const delivery_result too_big = transport.send(to("127.0.0.1"), std::string(70000, 'x'));
  EXPECT_TRUE(too_big.attempted && !too_big.sent);
  EXPECT_EQ(too_big.error, "UDP send failed");
  EXPECT_EQ(listener.receive(100ms), std::nullopt);

  // Commands always go to the fixed control port, whatever the record holds.
  system_record record;
  record.control_port = 9999;
  EXPECT_EQ(endpoint_for(record).control_port, 1256);
}

}  // namespace
}  // namespace tolvarine::operator_control
