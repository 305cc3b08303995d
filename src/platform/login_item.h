// Start at login: an XDG autostart entry that starts this executable with
// --background when the operator's desktop session begins. Enabled means
// the entry file exists. Not thread-safe: called from the main thread (the
// front end's menu). Failures are values.
#pragma once

#include <string>
#include <string_view>

namespace tolvarine::operator_control {

// The program's desktop entry id: the autostart file's name (with
// ".desktop") and the id of the desktop entry the package installs.
inline constexpr const char* kDesktopEntryId = "com.brellinlabs.tolvarine-redundancy-control";

// $XDG_CONFIG_HOME/autostart/<id>.desktop, ~/.config/autostart/<id>.desktop
// when XDG_CONFIG_HOME is unset or relative, <working directory>/<id>.desktop
// when HOME is unset.
std::string login_item_path();

// True when the autostart entry exists.
bool start_at_login();

// Writes the entry (atomically, replacing an old one) or removes it.
// Enabling fails when the executable's path is unknown or the file cannot
// be written; disabling succeeds when no entry is left, also when there was
// none.
bool set_start_at_login(bool enable);

// The entry's text for `executable`: Type, Name, Exec (the path quoted by
// the Desktop Entry rules when needed, then --background),
// X-GNOME-Autostart-enabled and Terminal.
std::string autostart_entry(std::string_view executable);

}  // namespace tolvarine::operator_control
