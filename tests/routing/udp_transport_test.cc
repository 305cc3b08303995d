#include "routing/udp_transport.h"

#include <gtest/gtest.h>

#include "routing/test_udp_listener.h"

namespace tolvarine::operator_control {
namespace {

using namespace std::chrono_literals;

class UdpTransportTest : public ::testing::Test {
 protected:
  testing::test_udp_listener listener_{"127.0.0.1", 0};
  udp_transport transport_;

  system_endpoint endpoint(std::string address, int32_t role = 1) {
    system_endpoint e;
    e.role = role;
    e.address = std::move(address);
    e.control_port = listener_.port();
    return e;
  }
};

TEST_F(UdpTransportTest, SendsPayloadBytesUnchangedAsOneDatagram) {
  ASSERT_TRUE(listener_.ok());
  const std::string payloads[] = {
      "GO|cue=12|layer 3",
      std::string("\x00\x01\xff\r\n|", 6),
      "",  // a zero-length datagram is still a datagram
      std::string(1400, 'x'),
  };
  for (const std::string& payload : payloads) {
    const delivery_result r = transport_.send(endpoint("127.0.0.1", 2), payload);
    EXPECT_EQ(r.role, 2);
    EXPECT_TRUE(r.attempted);
    EXPECT_TRUE(r.sent) << r.error;
    EXPECT_EQ(r.error, "");
    EXPECT_EQ(listener_.receive(2000ms), payload);
  }
}

TEST_F(UdpTransportTest, RefusesAnythingButDottedQuadAddresses) {
  ASSERT_TRUE(listener_.ok());
  const std::string addresses[] = {
      "localhost", "127.0.0.1:1256", "", " 127.0.0.1", "127.0.0.256", "::1",
      std::string("127.0.0.1\0junk", 14),
  };
  for (const std::string& address : addresses) {
    const delivery_result r = transport_.send(endpoint(address), "GO");
    EXPECT_TRUE(r.attempted) << address;
    EXPECT_FALSE(r.sent) << address;
    EXPECT_EQ(r.error, "Invalid IPv4 address: " + address);
  }
  EXPECT_EQ(listener_.receive(100ms), std::nullopt);
}

TEST_F(UdpTransportTest, ReportsFailedSendsAndSkipsDisabledEndpoints) {
  system_endpoint disabled = endpoint("127.0.0.1");
  disabled.enabled = false;
  const delivery_result skipped = transport_.send(disabled, "GO");
  EXPECT_EQ(skipped.role, 1);
  EXPECT_FALSE(skipped.attempted);
  EXPECT_FALSE(skipped.sent);
  EXPECT_EQ(skipped.error, "");

  // Larger than any UDP datagram can be.
  const delivery_result too_big = transport_.send(endpoint("127.0.0.1"), std::string(70000, 'x'));
  EXPECT_TRUE(too_big.attempted);
  EXPECT_FALSE(too_big.sent);
  EXPECT_EQ(too_big.error, "UDP send failed");
  EXPECT_EQ(listener_.receive(100ms), std::nullopt);
}

TEST(UdpEndpointTest, BuildsEndpointFromRecordOnControlPort) {
  system_record record;
  record.serial = "S-1";
  record.workstation = "Stage";
  record.address = "10.0.0.5";
  record.web_port = 5080;
  record.control_port = 9999;  // whatever the record says, commands go to 1256
  record.role = system_role::backup;
  const system_endpoint e = endpoint_for(record);
  EXPECT_EQ(e.role, 2);
  EXPECT_EQ(e.address, "10.0.0.5");
  EXPECT_EQ(e.control_port, 1256);
  EXPECT_EQ(e.web_port, 5080);
  EXPECT_EQ(e.workstation, "Stage");
  EXPECT_EQ(e.serial, "S-1");
  EXPECT_TRUE(e.enabled);

  const std::pair<int32_t, std::string> names[] = {
      {0, "Independent"}, {1, "Main"}, {2, "Backup"}, {3, "Independent"}, {-1, "Independent"}};
  for (const auto& [role, name] : names) EXPECT_EQ(delivery_role_name(role), name) << role;
}

}  // namespace
}  // namespace tolvarine::operator_control
