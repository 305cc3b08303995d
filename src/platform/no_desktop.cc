// The build without desktop libraries: no tray, no notifications; the
// operator page is the program's whole interface.
#include "platform/desktop_notices.h"
#include "platform/platform_app.h"

namespace tolvarine::operator_control {

std::unique_ptr<platform_app> make_platform_app() { return nullptr; }

std::unique_ptr<desktop_notifier> make_desktop_notifier() { return nullptr; }

}  // namespace tolvarine::operator_control
