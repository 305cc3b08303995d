// Feeds arbitrary datagrams (first four bytes: the IPv4 source) to the
// discovery answer parser and collector. Invariants: loopback sources and
// datagrams without the answer magic are never kept; identities stay
// unique.
#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string_view>

#include "server/server_discovery.h"

using namespace tolvarine::operator_control;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  in_addr source{};
  std::memcpy(&source.s_addr, data, 4);
  std::string_view rest(reinterpret_cast<const char*>(data + 4), size - 4);

  discovery_answers answers;
  // Several datagrams separated by NUL bytes, all from the same source.
  size_t start = 0;
  while (start <= rest.size()) {
    size_t end = rest.find('\0', start);
    if (end == std::string_view::npos) end = rest.size();
    std::string_view datagram = rest.substr(start, end - start);
    bool kept = answers.add(datagram, source);
    if (kept && (ntohl(source.s_addr) >> 24) == 127) std::abort();
    if (kept && datagram.substr(0, kDiscoveryAnswerMagic.size()) != kDiscoveryAnswerMagic) {
      std::abort();
    }
    start = end + 1;
  }
  std::set<std::string> identities;
  for (const discovered_system& s : answers.systems()) {
    if (!identities.insert(discovery_identity(s)).second) std::abort();
  }
  return 0;
}
