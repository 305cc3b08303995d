// Host name resolution within a caller's deadline, for the HTTP client and
// the outbound actions: a hanging DNS server costs a call its own time
// limit, never more.
//
// Numeric addresses are converted at once, without the resolver. A name is
// looked up on a short-lived helper thread while the caller waits until
// its deadline; a lookup still running then finishes on its own and its
// answer is dropped. At most kMaxPendingLookups helpers exist at once;
// beyond that a name fails at once. Thread-safe. Failure is an empty
// optional (not found, failed, timed out or too many pending).
#pragma once

#include <netdb.h>
#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/clock.h"

namespace tolvarine::operator_control {

inline constexpr int kMaxPendingLookups = 16;

struct resolved_address {
  sockaddr_storage address{};
  socklen_t length = 0;
  int family = 0;
  int socktype = 0;
  int protocol = 0;

  // The address as getaddrinfo would give it, for connect and sendto; it
  // points into this record.
  addrinfo entry() const {
    addrinfo ai{};
    ai.ai_family = family;
    ai.ai_socktype = socktype;
    ai.ai_protocol = protocol;
    ai.ai_addr = const_cast<sockaddr*>(reinterpret_cast<const sockaddr*>(&address));
    ai.ai_addrlen = length;
    return ai;
  }
};

// A blocking lookup of host and decimal port (`family` AF_INET or
// AF_UNSPEC, `socktype` SOCK_STREAM or SOCK_DGRAM), in the resolver's order.
using name_lookup_fn = std::function<std::optional<std::vector<resolved_address>>(
    const std::string& host, const std::string& port, int family, int socktype)>;

// The addresses of host:port, or nothing when they cannot be had by
// `deadline`.
std::optional<std::vector<resolved_address>> resolve_within(const std::string& host,
                                                            uint16_t port, int family,
                                                            int socktype, steady_time deadline);

// Replaces the lookup used for names (process-wide; tests only) and returns
// the previous one. An empty function restores the system resolver.
name_lookup_fn set_name_lookup(name_lookup_fn lookup);

}  // namespace tolvarine::operator_control
