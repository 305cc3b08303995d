#include "server/server_discovery.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <net/if.h>

#include <string>
#include <tuple>
#include <vector>

namespace tolvarine::operator_control {
namespace {

in_addr ip(const char* text) {
  in_addr address{};
  inet_pton(AF_INET, text, &address);
  return address;
}

// Each kept answer as "<address>:<port> <workstation>|<serial>", "" when refused.
TEST(DiscoveryAnswer, ReadsFieldsAndRejectsMalformedAnswers) {
  const std::tuple<std::string, const char*, std::string> rows[] = {
      {"tolvarine-server!,5000,WS1,ABC123", "10.0.0.5", "10.0.0.5:5000 WS1|ABC123"},
      {"tolvarine-server!,5000", "10.0.0.5", "10.0.0.5:5000 |"},
      {"tolvarine-server!,5000,WS1", "10.0.0.5", "10.0.0.5:5000 WS1|"},
      {"tolvarine-server!v2,  8080x,WS,S,extra,more", "10.0.0.5", "10.0.0.5:8080 WS|S"},
      {"tolvarine-server!,70000,WS,S", "10.0.0.5", "10.0.0.5:4464 WS|S"},
      {"tolvarine-server!,5000,,", "10.0.0.5", "10.0.0.5:5000 |"},
      {"tolvarine-server!,abc,WS1,S1", "10.0.0.5", ""},
      {"tolvarine-server!,,WS1,S1", "10.0.0.5", ""},
      {"tolvarine-server!", "10.0.0.5", ""},
      {"tolvarine-server?", "10.0.0.5", ""},
      {"tolvarine-serve", "10.0.0.5", ""},
      {"TOLVARINE-SERVER!,5000", "10.0.0.5", ""},
      {"tolvarine-server!,5000,WS1,S1", "127.0.0.1", ""},
      {"tolvarine-server!,5000,WS1,S1", "127.200.1.1", ""},
  };
  for (const auto& [datagram, source, expected] : rows) {
    const std::optional<discovered_system> s = parse_discovery_answer(datagram, ip(source));
    EXPECT_EQ(s ? s->address + ":" + std::to_string(s->web_port) + " " + s->workstation + "|" +
                      s->serial
                : "",
              expected)
        << datagram << " from " << source;
  }
}

// A hand-built interface list: loopback, two addresses sharing one
// broadcast, a /16, then one down, one without a netmask and one IPv6.
TEST(BroadcastTargets, LimitedBroadcastThenEachUpInterface) {
  const std::tuple<const char*, const char*, unsigned> rows[] = {
      {"127.0.0.1", "255.0.0.0", IFF_UP | IFF_LOOPBACK}, {"192.168.1.20", "255.255.255.0", IFF_UP},
      {"192.168.1.21", "255.255.255.0", IFF_UP}, {"10.1.2.3", "255.255.0.0", IFF_UP | IFF_BROADCAST},
      {"172.16.0.9", "255.255.255.0", 0}, {"10.9.9.9", nullptr, IFF_UP},
      {"10.8.0.1", "255.255.255.0", IFF_UP}};
  constexpr size_t n = std::size(rows);
  sockaddr_in addresses[n], masks[n];
  ifaddrs list[n]{};
  for (size_t i = 0; i < n; ++i) {
    const auto& [address, mask, flags] = rows[i];
    addresses[i] = {i == n - 1 ? sa_family_t{AF_INET6} : sa_family_t{AF_INET}, 0, ip(address), {}};
    masks[i] = {AF_INET, 0, ip(mask ? mask : "0.0.0.0"), {}};
    list[i] = {i + 1 < n ? &list[i + 1] : nullptr, nullptr, flags,
               reinterpret_cast<sockaddr*>(&addresses[i]),
               mask ? reinterpret_cast<sockaddr*>(&masks[i]) : nullptr, {nullptr}, nullptr};
  }
  EXPECT_EQ(broadcast_targets_from(list),
            (std::vector<std::string>{"255.255.255.255", "192.168.1.255", "10.1.255.255"}));
  EXPECT_EQ(broadcast_targets_from(nullptr), (std::vector<std::string>{"255.255.255.255"}));
  EXPECT_EQ(broadcast_targets().front(), "255.255.255.255");
}

}  // namespace
}  // namespace tolvarine::operator_control
