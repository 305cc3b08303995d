#include "server/name_lookup.h"

#include <netdb.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <system_error>
#include <thread>
#include <utility>

#include "common/mutex.h"

namespace tolvarine::operator_control {
namespace {

std::optional<std::vector<resolved_address>> getaddrinfo_lookup(const std::string& host,
                                                                 const std::string& port,
                                                                 int family, int socktype,
                                                                 int flags) {
  addrinfo hints{};
  hints.ai_family = family;
  hints.ai_socktype = socktype;
  hints.ai_flags = flags;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0 || !found) {
    if (found) ::freeaddrinfo(found);
    return std::nullopt;
  }
  std::vector<resolved_address> out;
  for (const addrinfo* ai = found; ai; ai = ai->ai_next) {
    if (ai->ai_addrlen > sizeof(sockaddr_storage)) continue;
    resolved_address r;
    std::memcpy(&r.address, ai->ai_addr, ai->ai_addrlen);
    r.length = ai->ai_addrlen;
    r.family = ai->ai_family;
    r.socktype = ai->ai_socktype;
    r.protocol = ai->ai_protocol;
    out.push_back(r);
  }
  ::freeaddrinfo(found);
  if (out.empty()) return std::nullopt;
  return out;
}

std::optional<std::vector<resolved_address>> system_lookup(const std::string& host,
                                                           const std::string& port, int family,
                                                           int socktype) {
  return getaddrinfo_lookup(host, port, family, socktype, 0);
}

mutex lookup_mutex;
name_lookup_fn lookup_override GUARDED_BY(lookup_mutex);
std::atomic<int> pending_lookups{0};

// One lookup's answer, shared by the helper thread and the caller.
struct pending_answer {
  mutex m;
  condition_variable done_cv;
  bool done GUARDED_BY(m) = false;
  std::optional<std::vector<resolved_address>> result GUARDED_BY(m);
};

}  // namespace

name_lookup_fn set_name_lookup(name_lookup_fn lookup) {
  mutex_lock lock(lookup_mutex);
  return std::exchange(lookup_override, std::move(lookup));
}

std::optional<std::vector<resolved_address>> resolve_within(const std::string& host,
                                                            uint16_t port, int family,
                                                            int socktype, steady_time deadline) {
  const std::string service = std::to_string(port);
  if (auto numeric = getaddrinfo_lookup(host, service, family, socktype,
                                        AI_NUMERICHOST | AI_NUMERICSERV)) {
    return numeric;
  }
  name_lookup_fn lookup;
  {
    mutex_lock lock(lookup_mutex);
    lookup = lookup_override ? lookup_override : name_lookup_fn(system_lookup);
  }
  if (pending_lookups.fetch_add(1) >= kMaxPendingLookups) {
    pending_lookups.fetch_sub(1);
    return std::nullopt;
  }
  auto answer = std::make_shared<pending_answer>();
  try {
    std::thread([answer, lookup = std::move(lookup), host, service, family, socktype] {
      auto result = lookup(host, service, family, socktype);
      {
        mutex_lock lock(answer->m);
        answer->result = std::move(result);
        answer->done = true;
      }
      answer->done_cv.notify_all();
      pending_lookups.fetch_sub(1);
    }).detach();
  } catch (const std::system_error&) {
    pending_lookups.fetch_sub(1);
    return std::nullopt;
  }
  mutex_lock lock(answer->m);
  while (!answer->done && steady_now() < deadline) answer->done_cv.wait_until(lock, deadline);
  if (!answer->done) return std::nullopt;
  return std::move(answer->result);
}

}  // namespace tolvarine::operator_control
