// Sends one decoded control string to an external device: over TCP (one
// deadline for connect and send across every resolved address) or as one
// UDP datagram. No reply is ever read, so success means only that the bytes
// left this host. Never raises SIGPIPE. Stateless and thread-safe; blocks
// the caller for at most the timeout, name resolution included.
#pragma once

#include <cstdint>
#include <string>

namespace tolvarine::operator_control {

// True when every byte was handed to the network stack; otherwise false
// with "Destination could not be resolved." or "Connect/send failed or
// timed out; device execution is unconfirmed." in *error.
[[nodiscard]] bool send_control_string(const std::string& host, int32_t port, bool udp,
                                       const std::string& bytes, int32_t timeout_ms,
                                       std::string* error);

}  // namespace tolvarine::operator_control
