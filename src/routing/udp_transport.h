// One operator command as one UDP datagram to one show server.
//
// udp_transport keeps no state: every send opens its own socket and closes
// it again, so any number of sends may run at once on different threads.
// `send_together` puts several datagrams on the wire in one system call, so
// that the Main and its Backup receive a shared command in the same instant
// even when the machine is busy.
// The datagram is exactly the payload, byte for byte: no framing, no
// terminator. There is no reply and no retry; `sent` means only that the
// local stack took the whole datagram.
//
// Failure is reported in the delivery_result; nothing throws.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "config/system_record.h"

namespace tolvarine::operator_control {

// Where one datagram goes. Only `address`, `control_port` and `enabled`
// matter for sending; the rest is carried along for the result and logs.
struct system_endpoint {
  int32_t role = 0;  // system_role value: 1 Main, 2 Backup, else Independent
  std::string address;  // dotted-quad IPv4; host names are not resolved
  uint16_t control_port = kControlPort;
  uint16_t web_port = kDefaultWebPort;
  std::string workstation;
  std::string serial;
  bool enabled = true;  // false: nothing is sent
};

// The outcome of one send.
struct delivery_result {
  int32_t role = 0;
  bool attempted = false;  // the endpoint was enabled and a send was tried
  bool sent = false;       // the whole payload left in one datagram
  std::string error;       // empty on success
};

// The endpoint of a registry record: its role, address and web port,
// control port 1256, enabled.
system_endpoint endpoint_for(const system_record& record);

// "Main" for 1, "Backup" for 2, "Independent" for any other value.
std::string_view delivery_role_name(int32_t role);

class udp_transport {
 public:
  // Sends `payload` to the endpoint. Errors: "Unable to create UDP socket",
  // "Invalid IPv4 address: " + address, "UDP send failed".
  delivery_result send(const system_endpoint& endpoint, const std::string& payload) const;

  // Sends `payload` to every endpoint, back to back from one socket with
  // one `sendmmsg`; a datagram the batch could not take is retried alone so
  // that each endpoint gets its own result and error text, as `send` gives.
  // Results are in the order of `endpoints`.
  std::vector<delivery_result> send_together(const std::vector<system_endpoint>& endpoints,
                                             const std::string& payload) const;
};

}  // namespace tolvarine::operator_control
