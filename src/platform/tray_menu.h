// The tray menu's model: its twelve entries, top to bottom, for a status
// and the state of the autostart entry. Pure; the desktop front end turns
// it into widgets.
#pragma once

#include <string>
#include <vector>

#include "platform/platform_app.h"

namespace tolvarine::operator_control {

enum class tray_action { none, open_ui, configure, show_log, toggle_start, exit_app };

struct tray_menu_entry {
  enum class kind { command, text, check, separator };
  kind type = kind::separator;
  std::string label;
  tray_action action = tray_action::none;  // none: disabled
  bool checked = false;                    // check entries only
};

std::vector<tray_menu_entry> tray_menu_entries(const platform_status& status, bool start_at_login);

inline constexpr const char* kTrayTitle = "Tolvarine-Redundancy-Control";

}  // namespace tolvarine::operator_control
