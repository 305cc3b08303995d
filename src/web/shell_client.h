// The client side of showing the operator page: reuse an open browser tab
// through the UI server's hand-off routes, or open a new one.
#pragma once

#include <cstdint>
#include <string>

namespace tolvarine::operator_control {

// "http://127.0.0.1:<port>/", with "?configure=1" in configure mode.
std::string shell_url(uint16_t port, bool configure);

// Shows the operator page: waits up to 2500 ms for the UI server, asks it to
// hand the request to an open tab, and opens the browser when no tab takes
// it. Blocks for up to about 5.5 s.
void open_shell_ui(uint16_t port, bool configure);

}  // namespace tolvarine::operator_control
