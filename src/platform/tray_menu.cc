#include "platform/tray_menu.h"

namespace tolvarine::operator_control {
namespace {

using kind = tray_menu_entry::kind;

tray_menu_entry command(const char* label, tray_action action) {
  return {kind::command, label, action, false};
}

tray_menu_entry text(const std::string& label, const char* empty_form) {
  return {kind::text, label.empty() ? empty_form : label, tray_action::none, false};
}

}  // namespace

std::vector<tray_menu_entry> tray_menu_entries(const platform_status& status, bool start_at_login) {
  return {
      command("Open Redundancy Control", tray_action::open_ui),
      command("Configure Redundancy", tray_action::configure),
      {},
      text(status.main_label, "Main: --"),
      text(status.backup_label, "Backup: --"),
      text(status.sync_label, "Show Sync: --"),
      text("Stream Decks: " + std::to_string(status.deck_count), ""),
      {},
      command("Show Log", tray_action::show_log),
      {kind::check, "Start with macOS", tray_action::toggle_start, start_at_login},
      {},
      command("Exit", tray_action::exit_app),
  };
}

}  // namespace tolvarine::operator_control
