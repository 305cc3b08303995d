#include "server/server_discovery.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <net/if.h>

#include <deque>
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

TEST(DiscoveryAnswer, FirstAnswerOfEachIdentityWins) {
  // Serials and address:port identities share one set of identities.
  const std::tuple<const char*, const char*, bool> rows[] = {
      {"tolvarine-server!,5000", "10.0.0.5", true},
      {"tolvarine-server!,5000", "10.0.0.5", false},
      {"tolvarine-server!,5001", "10.0.0.5", true},
      {"tolvarine-server!,5000,A,S1", "10.0.0.6", true},
      {"tolvarine-server!,6000,B,S1", "10.0.0.7", false},
      {"tolvarine-server?", "10.0.0.8", false},
      {"tolvarine-server!,5000,C,10.0.0.5:5000", "10.0.0.9", false},
      {"tolvarine-server!,5000,D,S2", "10.0.0.9", true},
  };
  discovery_answers answers;
  std::vector<std::string> kept;
  for (const auto& [datagram, source, added] : rows) {
    EXPECT_EQ(answers.add(datagram, ip(source)), added) << datagram << " from " << source;
  }
  for (const discovered_system& s : answers.systems()) kept.push_back(discovery_identity(s));
  EXPECT_EQ(kept, (std::vector<std::string>{"10.0.0.5:5000", "10.0.0.5:5001", "S1", "S2"}));
}

TEST(BroadcastTargets, LimitedBroadcastThenEachUpInterface) {
  struct fake_interface {  // one entry of a hand-built interface list
    std::string name;
    sockaddr_in address, netmask;
    ifaddrs entry{};
  };
  std::deque<fake_interface> list;
  auto add = [&](const char* name, const char* address, const char* mask, unsigned flags) {
    fake_interface& f = list.emplace_back(
        fake_interface{name, {AF_INET, 0, ip(address), {}}, {AF_INET, 0, ip(mask), {}}});
    f.entry.ifa_name = f.name.data();
    f.entry.ifa_flags = flags;
    f.entry.ifa_addr = reinterpret_cast<sockaddr*>(&f.address);
    f.entry.ifa_netmask = reinterpret_cast<sockaddr*>(&f.netmask);
    if (list.size() > 1) list[list.size() - 2].entry.ifa_next = &f.entry;
    return &f;
  };
  add("lo", "127.0.0.1", "255.0.0.0", IFF_UP | IFF_LOOPBACK);
  add("eth0", "192.168.1.20", "255.255.255.0", IFF_UP);
  add("eth0", "192.168.1.21", "255.255.255.0", IFF_UP);  // same broadcast
  add("eth1", "10.1.2.3", "255.255.0.0", IFF_UP | IFF_BROADCAST);
  add("eth2", "172.16.0.9", "255.255.255.0", 0);                                  // down
  add("eth3", "10.9.9.9", "255.255.255.0", IFF_UP)->entry.ifa_netmask = nullptr;  // no netmask
  add("eth4", "10.8.0.1", "255.255.255.0", IFF_UP)->address.sin_family = AF_INET6;
  EXPECT_EQ(broadcast_targets_from(&list[0].entry),
            (std::vector<std::string>{"255.255.255.255", "192.168.1.255", "10.1.255.255"}));
  EXPECT_EQ(broadcast_targets_from(nullptr), (std::vector<std::string>{"255.255.255.255"}));
  EXPECT_EQ(broadcast_targets().front(), "255.255.255.255");
}

}  // namespace
}  // namespace tolvarine::operator_control
