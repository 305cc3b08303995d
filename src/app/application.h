// The program's top-level driver.
#pragma once

namespace tolvarine::operator_control {

// Starts every service, runs the main loop until a signal or the front end
// ends it, and tears everything down. Returns the process exit code: 0 after
// a normal stop or when another instance owns the settings folder, 3 when
// the admin API cannot start, 4 when the operator UI server cannot start.
int run_application(int argc, char** argv);

}  // namespace tolvarine::operator_control
