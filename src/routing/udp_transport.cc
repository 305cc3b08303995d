#include "routing/udp_transport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <exception>
#include <vector>

#include "common/unique_fd.h"

namespace tolvarine::operator_control {

system_endpoint endpoint_for(const system_record& record) {
  system_endpoint endpoint;
  endpoint.role = static_cast<int32_t>(record.role);
  endpoint.address = record.address;
  endpoint.control_port = kControlPort;
  endpoint.web_port = record.web_port;
  endpoint.workstation = record.workstation;
  endpoint.serial = record.serial;
  endpoint.enabled = true;
  return endpoint;
}

std::string_view delivery_role_name(int32_t role) {
  switch (role) {
    case static_cast<int32_t>(system_role::main): return "Main";
    case static_cast<int32_t>(system_role::backup): return "Backup";
    default: return "Independent";
  }
}

namespace {

// The destination of an endpoint, or false when its address is not a
// dotted-quad IPv4 address.
bool destination_of(const system_endpoint& endpoint, sockaddr_in* to) {
  *to = sockaddr_in{};
  to->sin_family = AF_INET;
  to->sin_port = htons(endpoint.control_port);
  // A NUL inside the text would let inet_pton see only a prefix of it.
  return endpoint.address.find('\0') == std::string::npos &&
         ::inet_pton(AF_INET, endpoint.address.c_str(), &to->sin_addr) == 1;
}

void record_send(ssize_t n, const std::string& payload, delivery_result* result) {
  result->sent = n >= 0 && static_cast<size_t>(n) == payload.size();
  if (!result->sent) result->error = "UDP send failed";
}

}  // namespace

delivery_result udp_transport::send(const system_endpoint& endpoint,
                                    const std::string& payload) const {
  return send_together({endpoint}, payload).front();
}

std::vector<delivery_result> udp_transport::send_together(
    const std::vector<system_endpoint>& endpoints, const std::string& payload) const {
  std::vector<delivery_result> results(endpoints.size());
  try {
    std::vector<sockaddr_in> to(endpoints.size());
    std::vector<size_t> batch;  // indexes of the datagrams to send
    for (size_t i = 0; i < endpoints.size(); ++i) {
      results[i].role = endpoints[i].role;
      results[i].attempted = endpoints[i].enabled;
      if (endpoints[i].enabled) batch.push_back(i);
    }
    if (batch.empty()) return results;
    unique_fd fd(::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
    if (!fd) {
      for (size_t i : batch) results[i].error = "Unable to create UDP socket";
      return results;
    }
    std::erase_if(batch, [&](size_t i) {
      if (destination_of(endpoints[i], &to[i])) return false;
      results[i].error = "Invalid IPv4 address: " + endpoints[i].address;
      return true;
    });
    iovec data{const_cast<char*>(payload.data()), payload.size()};
    std::vector<mmsghdr> messages(batch.size());
    for (size_t k = 0; k < batch.size(); ++k) {
      msghdr& m = messages[k].msg_hdr;
      m.msg_name = &to[batch[k]];
      m.msg_namelen = sizeof(sockaddr_in);
      m.msg_iov = &data;
      m.msg_iovlen = 1;
    }
    const int taken = batch.empty() ? 0
                                    : ::sendmmsg(fd.get(), messages.data(),
                                                 static_cast<unsigned>(messages.size()), 0);
    for (size_t k = 0; k < batch.size(); ++k) {
      const size_t i = batch[k];
      if (taken > 0 && k < static_cast<size_t>(taken)) {
        record_send(static_cast<ssize_t>(messages[k].msg_len), payload, &results[i]);
      } else {
        // The batch stopped at this datagram: send it alone for its own result.
        record_send(::sendto(fd.get(), payload.data(), payload.size(), 0,
                             reinterpret_cast<const sockaddr*>(&to[i]), sizeof(sockaddr_in)),
                    payload, &results[i]);
      }
    }
  } catch (const std::exception& e) {
    // Only an allocation failure can land here.
    for (delivery_result& result : results) {
      if (!result.attempted || result.sent || !result.error.empty()) continue;
      result.error = e.what();
    }
  }
  return results;
}

}  // namespace tolvarine::operator_control
