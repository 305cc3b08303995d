#include "config/system_record.h"

namespace tolvarine::operator_control {

std::string_view role_file_name(system_role role) {
  switch (role) {
    case system_role::main: return "Main";
    case system_role::backup: return "Backup";
    default: return "Independent";
  }
}

std::string_view role_label(system_role role) {
  switch (role) {
    case system_role::main: return "main";
    case system_role::backup: return "backup";
    default: return "independent";
  }
}

system_role role_from_file_name(std::string_view name) {
  if (name == "Main") return system_role::main;
  if (name == "Backup") return system_role::backup;
  return system_role::independent;
}

}  // namespace tolvarine::operator_control
