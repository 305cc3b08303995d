// Finds show servers by asking every IPv4 broadcast address of this machine
// "tolvarine-server?" on UDP 1255 and collecting the answers until the
// network has been quiet for the given time.
//
// server_discovery holds no state: discover() is const and may run on any
// number of threads at once, each call owning its socket. It throws
// std::runtime_error only when its socket cannot be set up; everything else
// (unreadable interfaces, failed sends, malformed answers) is silent.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "config/system_record.h"

struct ifaddrs;

namespace tolvarine::operator_control {

inline constexpr uint16_t kDiscoveryPort = 1255;
inline constexpr std::string_view kDiscoveryQuestion = "tolvarine-server?";
inline constexpr std::string_view kDiscoveryAnswerMagic = "tolvarine-server!";

// One answer read from a datagram and its IPv4 source. Nothing when the
// datagram does not begin with the answer magic, has fewer than two
// comma-separated fields, comes from 127.0.0.0/8, or field 1 holds no
// number.
std::optional<discovered_system> parse_discovery_answer(std::string_view datagram,
                                                        const in_addr& source);

// The identity answers are de-duplicated by: the serial, or when that is
// empty "<address>:<web port>".
std::string discovery_identity(const discovered_system& system);

// The answers of one discovery, in the order of first answers.
class discovery_answers {
 public:
  // Parses and keeps the answer unless it is malformed or its identity was
  // already seen; true when it was kept.
  bool add(std::string_view datagram, const in_addr& source);
  const std::vector<discovered_system>& systems() const { return systems_; }
  std::vector<discovered_system> take() { return std::move(systems_); }

 private:
  std::vector<discovered_system> systems_;
  std::set<std::string> seen_;
};

// 255.255.255.255 first, then the directed broadcast address of every up,
// non-loopback IPv4 interface with a netmask, without duplicates (dotted
// form). `interfaces` may be null (the list could not be read).
std::vector<std::string> broadcast_targets_from(const ifaddrs* interfaces);
// The same for this machine's interfaces.
std::vector<std::string> broadcast_targets();

class server_discovery {
 public:
  // `port` is where the question goes; servers listen on 1255.
  explicit server_discovery(uint16_t port = kDiscoveryPort) : port_(port) {}

  // Sends the question once to every broadcast target and returns one
  // entry per distinct server that answered. Collection ends after
  // `timeout` without any datagram (every datagram restarts the wait); as a
  // safety bound it also ends after 4096 datagrams or timeout + 10 s.
  // Throws std::runtime_error "Unable to create discovery socket" or
  // "Unable to bind discovery socket".
  std::vector<discovered_system> discover(std::chrono::milliseconds timeout) const;

 private:
  const uint16_t port_;
};

}  // namespace tolvarine::operator_control
