#include "app/application.h"

namespace tolvarine::operator_control {

int run_application(int, char**) { return 0; }

}  // namespace tolvarine::operator_control
