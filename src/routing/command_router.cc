#include "routing/command_router.h"

#include <iostream>
#include <optional>
#include <utility>
#include <vector>

namespace tolvarine::operator_control {
namespace {

void log_to_stdout(const std::string& line) { std::cout << (line + "\n") << std::flush; }

std::string route_line(const char* who, const system_record& record) {
  return std::string("[route] ") + who + " -> " + record.address + ":" +
         std::to_string(kControlPort) + " serial=" + record.serial;
}

}  // namespace

command_router::command_router(control_config& config, log_fn log)
    : config_(config), log_(log ? std::move(log) : log_fn(log_to_stdout)) {}

fanout_result command_router::route_streamdeck(int function_id, const std::string& target_serial,
                                               const std::string& payload) {
  fanout_result result;
  result.sequence = sequence_.fetch_add(1, std::memory_order_relaxed) + 1;
  result.payload = payload;

  const std::optional<system_record> target =
      target_serial.empty() ? config_.main_system() : config_.find(target_serial);
  if (!target) return result;
  const bool shared = config_.shared_functions().count(function_id) > 0;

  // Target first, Backup second: the order of the deliveries in the result.
  std::vector<system_endpoint> endpoints;
  if (target->online) {
    log_(route_line("Main", *target));
    endpoints.push_back(endpoint_for(*target));
  } else {
    log_("[route] Main offline -> " + target->serial);
  }
  // The Backup is served even when the target itself is offline.
  if (shared) {
    const std::optional<system_record> backup = config_.backup_for(target->serial);
    if (backup && backup->online) {
      log_(route_line("Backup", *backup));
      endpoints.push_back(endpoint_for(*backup));
    } else {
      log_("[route] Backup unavailable for Main " + target->serial);
    }
  }

  // Both datagrams leave in one system call, after every lookup and log
  // line, so the Main and the Backup play the same frame.
  if (!endpoints.empty()) result.deliveries = transport_.send_together(endpoints, payload);
  return result;
}

}  // namespace tolvarine::operator_control
