// The admin API's one-page diagnostics view: a link to the operator page
// and the status document, refreshed every second. Pure; thread-safe.
#pragma once

#include <cstdint>
#include <string>

namespace tolvarine::operator_control {

// The HTML text of GET "/", linking the operator page on `ui_port`.
std::string diagnostics_page(uint16_t ui_port);

}  // namespace tolvarine::operator_control
