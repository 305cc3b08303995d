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

// Each kept answer as "<address>:<port> <workstation>|<serial>", "" when refused.
TEST(DiscoveryAnswer, ReadsFieldsAndRejectsMalformedAnswers) {
  const std::tuple<std::string, const char*, std::string> rows[] = {
      {"tolvarine-server!,5000,WS1,ABC123", "10.0.0.5", "10.0.0.5:5000 WS1|ABC123"},
      {"tolvarine-server!v2,  8080x,WS,S,extra,more", "10.0.0.5", "10.0.0.5:8080 WS|S"},
      {"tolvarine-server!,70000,WS,S", "10.0.0.5", "10.0.0.5:4464 WS|S"},
      {"tolvarine-server!,abc,WS1,S1", "10.0.0.5", ""},
      {"tolvarine-server!", "10.0.0.5", ""},
      {"TOLVARINE-SERVER!,5000", "10.0.0.5", ""},
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

// A server answering twice, or from a second address, is kept once.
TEST(DiscoveryAnswer, FirstAnswerOfEachIdentityWins) {
  discovery_answers answers;
  for (const char* source : {"10.0.0.5", "10.0.0.5", "10.0.0.6"}) {
    for (const char* datagram : {"tolvarine-server!,5000", "tolvarine-server!,5001,A,S1"})
      answers.add(datagram, ip(source));
  }
  std::vector<std::string> kept;
  for (const discovered_system& s : answers.systems()) kept.push_back(discovery_identity(s));
  EXPECT_EQ(kept, (std::vector<std::string>{"10.0.0.5:5000", "S1", "10.0.0.6:5000"}));
}

}  // namespace
}  // namespace tolvarine::operator_control
