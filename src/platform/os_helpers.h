// Small operating-system helpers. All failures are silent.
#pragma once

#include <string>

namespace tolvarine::operator_control {

// Asks the desktop to open the URL in the default browser: xdg-open with
// the URL as its one argument, started by fork/exec (never through a
// shell), detached so no zombie is left and nothing waits for the browser.
void platform_open_url(const std::string& url);
// Asks the desktop to open the file with its default application.
void platform_open_path(const std::string& path);
// The running executable's absolute path, or empty.
std::string platform_executable_path();
// Nothing to prepare on Linux: output already goes to the terminal.
void platform_prepare_console(bool console);
// The user's configuration folder: $XDG_CONFIG_HOME when it is an absolute
// path, else $HOME/.config; empty when HOME is unset.
std::string platform_config_home();

}  // namespace tolvarine::operator_control
