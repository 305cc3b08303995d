#include "server/server_discovery.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <stdexcept>

#include "common/unique_fd.h"

namespace tolvarine::operator_control {
namespace {

constexpr size_t kMaxDatagram = 2047;
constexpr int kMaxDatagrams = 4096;
constexpr std::chrono::seconds kSafetyMargin{10};

std::vector<std::string_view> split_commas(std::string_view text) {
  std::vector<std::string_view> fields;
  size_t start = 0;
  while (true) {
    size_t comma = text.find(',', start);
    if (comma == std::string_view::npos) {
      fields.push_back(text.substr(start));
      return fields;
    }
    fields.push_back(text.substr(start, comma - start));
    start = comma + 1;
  }
}

std::string dotted(uint32_t network_order) {
  in_addr address{};
  address.s_addr = network_order;
  char text[INET_ADDRSTRLEN] = {};
  if (::inet_ntop(AF_INET, &address, text, sizeof(text)) == nullptr) return {};
  return text;
}

void add_unique(std::vector<std::string>& targets, std::string address) {
  if (address.empty()) return;
  if (std::find(targets.begin(), targets.end(), address) == targets.end()) {
    targets.push_back(std::move(address));
  }
}

}  // namespace

std::optional<discovered_system> parse_discovery_answer(std::string_view datagram,
                                                        const in_addr& source) {
  if (datagram.size() < kDiscoveryAnswerMagic.size() ||
      datagram.substr(0, kDiscoveryAnswerMagic.size()) != kDiscoveryAnswerMagic) {
    return std::nullopt;
  }
  std::vector<std::string_view> fields = split_commas(datagram);
  if (fields.size() < 2) return std::nullopt;
  if ((ntohl(source.s_addr) >> 24) == 127) return std::nullopt;
  discovered_system system;
  system.address = dotted(source.s_addr);
  if (system.address.empty()) return std::nullopt;

  // strtoul semantics: leading white space, reading stops at the first
  // non-digit, the value narrowed to 16 bits.
  std::string port_text(fields[1]);
  const char* start = port_text.c_str();
  char* end = nullptr;
  unsigned long port = std::strtoul(start, &end, 10);
  if (end == start) return std::nullopt;
  system.web_port = static_cast<uint16_t>(port);
  if (fields.size() > 2) system.workstation.assign(fields[2]);
  if (fields.size() > 3) system.serial.assign(fields[3]);
  return system;
}

std::string discovery_identity(const discovered_system& system) {
  if (!system.serial.empty()) return system.serial;
  return system.address + ":" + std::to_string(system.web_port);
}

bool discovery_answers::add(std::string_view datagram, const in_addr& source) {
  std::optional<discovered_system> system = parse_discovery_answer(datagram, source);
  if (!system) return false;
  if (!seen_.insert(discovery_identity(*system)).second) return false;
  systems_.push_back(std::move(*system));
  return true;
}

std::vector<std::string> broadcast_targets_from(const ifaddrs* interfaces) {
  std::vector<std::string> targets;
  add_unique(targets, "255.255.255.255");
  for (const ifaddrs* entry = interfaces; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_netmask == nullptr) continue;
    if (entry->ifa_addr->sa_family != AF_INET) continue;
    if ((entry->ifa_flags & IFF_UP) == 0 || (entry->ifa_flags & IFF_LOOPBACK) != 0) continue;
    uint32_t address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr;
    uint32_t mask = reinterpret_cast<const sockaddr_in*>(entry->ifa_netmask)->sin_addr.s_addr;
    add_unique(targets, dotted(address | ~mask));
  }
  return targets;
}

std::vector<std::string> broadcast_targets() {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return broadcast_targets_from(nullptr);
  std::vector<std::string> targets = broadcast_targets_from(list);
  ::freeifaddrs(list);
  return targets;
}

std::vector<discovered_system> server_discovery::discover(std::chrono::milliseconds timeout) const {
  unique_fd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!fd) throw std::runtime_error("Unable to create discovery socket");
  int on = 1;
  ::setsockopt(fd.get(), SOL_SOCKET, SO_BROADCAST, &on, sizeof(on));

  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  local.sin_port = 0;
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0) {
    throw std::runtime_error("Unable to bind discovery socket");
  }

  // A zero receive timeout would mean "wait for ever".
  long long ms = std::max<long long>(timeout.count(), 1);
  timeval limit{};
  limit.tv_sec = static_cast<time_t>(ms / 1000);
  limit.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
  ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));

  for (const std::string& target : broadcast_targets()) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port_);
    if (::inet_pton(AF_INET, target.c_str(), &to.sin_addr) != 1) continue;
    ::sendto(fd.get(), kDiscoveryQuestion.data(), kDiscoveryQuestion.size(), MSG_NOSIGNAL,
             reinterpret_cast<sockaddr*>(&to), sizeof(to));
  }

  auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms) + kSafetyMargin;
  discovery_answers answers;
  char buffer[kMaxDatagram];
  for (int count = 0; count < kMaxDatagrams; ++count) {
    if (std::chrono::steady_clock::now() >= give_up) break;
    sockaddr_in from{};
    socklen_t length = sizeof(from);
    ssize_t n = ::recvfrom(fd.get(), buffer, sizeof(buffer), 0,
                           reinterpret_cast<sockaddr*>(&from), &length);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    if (length < sizeof(sockaddr_in) || from.sin_family != AF_INET) continue;
    answers.add(std::string_view(buffer, static_cast<size_t>(n)), from.sin_addr);
  }
  return answers.take();
}

}  // namespace tolvarine::operator_control
