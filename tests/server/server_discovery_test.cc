#include "server/server_discovery.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

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

// Answers in turn, each kept or not: malformed ones, loopback senders and
// repeats of an identity (the serial, else address:port) are dropped. Then
// the kept ones as "<address>:<port> <workstation>|<serial>".
TEST(DiscoveryAnswer, KeepsTheFirstWellFormedAnswerOfEachIdentity) {
  const std::tuple<const char*, const char*, bool> rows[] = {
      {"tolvarine-server!,5000,WS1,ABC123", "10.0.0.5", true},
      {"tolvarine-server!v2,  8080x,WS,S,extra,more", "10.0.0.5", true},
      {"tolvarine-server!,70000,WS2", "10.0.0.6", true},
      {"tolvarine-server!,5001,WS9,ABC123", "10.0.0.7", false},
      {"tolvarine-server!,4464", "10.0.0.6", false},
      {"tolvarine-server!,abc,WS1,S1", "10.0.0.5", false},
      {"tolvarine-server!", "10.0.0.5", false},
      {"TOLVARINE-SERVER!,5000", "10.0.0.5", false},
      {"tolvarine-server!,5000,WS1,S1", "127.200.1.1", false},
  };
  discovery_answers answers;
  for (const auto& [datagram, source, kept] : rows)
    EXPECT_EQ(answers.add(datagram, ip(source)), kept) << datagram << " from " << source;
  std::vector<std::string> kept;
  for (const discovered_system& s : answers.systems())
    kept.push_back(s.address + ":" + std::to_string(s.web_port) + " " + s.workstation + "|" + s.serial);
  EXPECT_EQ(kept, (std::vector<std::string>{"10.0.0.5:5000 WS1|ABC123", "10.0.0.5:8080 WS|S",
                                            "10.0.0.6:4464 WS2|"}));
}

}  // namespace
}  // namespace tolvarine::operator_control
