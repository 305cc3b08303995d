#include "server/server_discovery.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tolvarine::operator_control {
namespace {

in_addr ip(const char* text) {
  in_addr address{};
  inet_pton(AF_INET, text, &address);
  return address;
}

TEST(DiscoveryAnswer, ReadsFieldsAndRejectsMalformedAnswers) {
  struct row {
    std::string datagram;
    const char* source;
    bool kept;
    uint16_t port;
    std::string workstation;
    std::string serial;
  };
  const row rows[] = {
      {"tolvarine-server!,5000,WS1,ABC123", "10.0.0.5", true, 5000, "WS1", "ABC123"},
      {"tolvarine-server!,5000", "10.0.0.5", true, 5000, "", ""},
      {"tolvarine-server!,5000,WS1", "10.0.0.5", true, 5000, "WS1", ""},
      {"tolvarine-server!v2,  8080x,WS,S,extra,more", "10.0.0.5", true, 8080, "WS", "S"},
      {"tolvarine-server!,70000,WS,S", "10.0.0.5", true, static_cast<uint16_t>(70000), "WS", "S"},
      {"tolvarine-server!,5000,,", "10.0.0.5", true, 5000, "", ""},
      {"tolvarine-server!,abc,WS1,S1", "10.0.0.5", false, 0, "", ""},
      {"tolvarine-server!,,WS1,S1", "10.0.0.5", false, 0, "", ""},
      {"tolvarine-server!", "10.0.0.5", false, 0, "", ""},
      {"tolvarine-server?", "10.0.0.5", false, 0, "", ""},
      {"tolvarine-serve", "10.0.0.5", false, 0, "", ""},
      {"TOLVARINE-SERVER!,5000", "10.0.0.5", false, 0, "", ""},
      {"tolvarine-server!,5000,WS1,S1", "127.0.0.1", false, 0, "", ""},
      {"tolvarine-server!,5000,WS1,S1", "127.200.1.1", false, 0, "", ""},
  };
  for (const row& r : rows) {
    std::optional<discovered_system> found = parse_discovery_answer(r.datagram, ip(r.source));
    ASSERT_EQ(found.has_value(), r.kept) << r.datagram << " from " << r.source;
    if (!found) continue;
    EXPECT_EQ(found->address, r.source) << r.datagram;
    EXPECT_EQ(found->web_port, r.port) << r.datagram;
    EXPECT_EQ(found->workstation, r.workstation) << r.datagram;
    EXPECT_EQ(found->serial, r.serial) << r.datagram;
  }
}

TEST(DiscoveryAnswer, FirstAnswerOfEachIdentityWins) {
  discovery_answers answers;
  EXPECT_TRUE(answers.add("tolvarine-server!,5000", ip("10.0.0.5")));
  EXPECT_FALSE(answers.add("tolvarine-server!,5000", ip("10.0.0.5")));
  EXPECT_TRUE(answers.add("tolvarine-server!,5001", ip("10.0.0.5")));
  EXPECT_TRUE(answers.add("tolvarine-server!,5000,A,S1", ip("10.0.0.6")));
  EXPECT_FALSE(answers.add("tolvarine-server!,6000,B,S1", ip("10.0.0.7")));
  EXPECT_FALSE(answers.add("tolvarine-server?", ip("10.0.0.8")));
  // Serials and address identities share one set of identities.
  EXPECT_FALSE(answers.add("tolvarine-server!,5000,C,10.0.0.5:5000", ip("10.0.0.9")));
  EXPECT_TRUE(answers.add("tolvarine-server!,5000,D,S2", ip("10.0.0.9")));

  const std::vector<discovered_system>& systems = answers.systems();
  ASSERT_EQ(systems.size(), 4u);
  EXPECT_EQ(discovery_identity(systems[0]), "10.0.0.5:5000");
  EXPECT_EQ(discovery_identity(systems[1]), "10.0.0.5:5001");
  EXPECT_EQ(systems[2].address, "10.0.0.6");
  EXPECT_EQ(systems[2].workstation, "A");
  EXPECT_EQ(systems[3].serial, "S2");
}

// A hand-built interface list.
struct fake_interface {
  std::string name;
  sockaddr_in address{};
  sockaddr_in netmask{};
  ifaddrs entry{};
};

TEST(BroadcastTargets, LimitedBroadcastThenEachUpInterface) {
  auto make = [](const char* name, const char* address, const char* mask, unsigned flags) {
    auto f = std::make_unique<fake_interface>();
    f->name = name;
    f->address.sin_family = AF_INET;
    f->address.sin_addr = ip(address);
    f->netmask.sin_family = AF_INET;
    f->netmask.sin_addr = ip(mask);
    f->entry.ifa_name = f->name.data();
    f->entry.ifa_flags = flags;
    f->entry.ifa_addr = reinterpret_cast<sockaddr*>(&f->address);
    f->entry.ifa_netmask = reinterpret_cast<sockaddr*>(&f->netmask);
    return f;
  };
  std::vector<std::unique_ptr<fake_interface>> list;
  list.push_back(make("lo", "127.0.0.1", "255.0.0.0", IFF_UP | IFF_LOOPBACK));
  list.push_back(make("eth0", "192.168.1.20", "255.255.255.0", IFF_UP));
  list.push_back(make("eth0", "192.168.1.21", "255.255.255.0", IFF_UP));  // same broadcast
  list.push_back(make("eth1", "10.1.2.3", "255.255.0.0", IFF_UP | IFF_BROADCAST));
  list.push_back(make("eth2", "172.16.0.9", "255.255.255.0", 0));  // down
  list.push_back(make("eth3", "10.9.9.9", "255.255.255.0", IFF_UP));
  list.back()->entry.ifa_netmask = nullptr;  // no netmask
  list.push_back(make("eth4", "10.8.0.1", "255.255.255.0", IFF_UP));
  list.back()->address.sin_family = AF_INET6;  // not IPv4
  for (size_t i = 0; i + 1 < list.size(); ++i) list[i]->entry.ifa_next = &list[i + 1]->entry;

  EXPECT_EQ(broadcast_targets_from(&list[0]->entry),
            (std::vector<std::string>{"255.255.255.255", "192.168.1.255", "10.1.255.255"}));
  EXPECT_EQ(broadcast_targets_from(nullptr), (std::vector<std::string>{"255.255.255.255"}));
  EXPECT_EQ(broadcast_targets().front(), "255.255.255.255");
}

}  // namespace
}  // namespace tolvarine::operator_control
