// Small operating-system helpers. All failures are silent.
#pragma once

#include <string>

namespace tolvarine::operator_control {

// Asks the desktop to open the URL in the default browser (xdg-open),
// without waiting for it.
void platform_open_url(const std::string& url);
// Asks the desktop to open the file with its default application.
void platform_open_path(const std::string& path);
// The running executable's absolute path, or empty.
std::string platform_executable_path();
// Nothing to prepare on Linux: output already goes to the terminal.
void platform_prepare_console(bool console);

}  // namespace tolvarine::operator_control
