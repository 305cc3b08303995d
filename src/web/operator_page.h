// The operator web page, embedded in the program at build time.
#pragma once

#include <string>

namespace tolvarine::operator_control {

// The whole page: the head-and-body block, the style-and-script block and
// "</body>\n</html>", concatenated. Pure; thread-safe.
std::string operator_page();

}  // namespace tolvarine::operator_control
