#include "platform/platform_app.h"

namespace tolvarine::operator_control {

// No tray front end on Linux yet: the program runs headless and the
// operator page is its interface.
std::unique_ptr<platform_app> make_platform_app() { return nullptr; }

}  // namespace tolvarine::operator_control
