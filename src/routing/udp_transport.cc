#include "routing/udp_transport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <exception>

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

delivery_result udp_transport::send(const system_endpoint& endpoint,
                                    const std::string& payload) const {
  delivery_result result;
  result.role = endpoint.role;
  result.attempted = endpoint.enabled;
  if (!endpoint.enabled) return result;
  try {
    unique_fd fd(::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
    if (!fd) {
      result.error = "Unable to create UDP socket";
      return result;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(endpoint.control_port);
    // A NUL inside the text would let inet_pton see only a prefix of it.
    if (endpoint.address.find('\0') != std::string::npos ||
        ::inet_pton(AF_INET, endpoint.address.c_str(), &to.sin_addr) != 1) {
      result.error = "Invalid IPv4 address: " + endpoint.address;
      return result;
    }
    const ssize_t n = ::sendto(fd.get(), payload.data(), payload.size(), 0,
                               reinterpret_cast<const sockaddr*>(&to), sizeof(to));
    result.sent = n >= 0 && static_cast<size_t>(n) == payload.size();
    if (!result.sent) result.error = "UDP send failed";
  } catch (const std::exception& e) {
    // Only an allocation failure for the error text can land here.
    result.sent = false;
    result.error = e.what();
  }
  return result;
}

}  // namespace tolvarine::operator_control
