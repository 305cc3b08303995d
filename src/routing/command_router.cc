#include "routing/command_router.h"

#include <future>
#include <iostream>
#include <optional>
#include <utility>

namespace tolvarine::operator_control {
namespace {

void log_to_stdout(const std::string& line) { std::cout << (line + "\n") << std::flush; }

std::string route_line(const char* who, const system_record& record) {
  return std::string("[route] ") + who + " -> " + record.address + ":" +
         std::to_string(kControlPort) + " serial=" + record.serial;
}

}  // namespace

command_router::command_router(control_config& config, log_fn log)
    : config_(config), log_(log ? std::move(log) : log_fn(log_to_stdout)) {
  // Without threads every delivery runs on the routing thread instead.
  (void)deliveries_.start();
}

command_router::~command_router() { deliveries_.stop(); }

fanout_result command_router::route_streamdeck(int function_id, const std::string& target_serial,
                                               const std::string& payload) {
  fanout_result result;
  result.sequence = sequence_.fetch_add(1, std::memory_order_relaxed) + 1;
  result.payload = payload;

  const std::optional<system_record> target =
      target_serial.empty() ? config_.main_system() : config_.find(target_serial);
  if (!target) return result;
  const bool shared = config_.shared_functions().count(function_id) > 0;

  // Both lookups and log lines come first so the two datagrams leave as
  // close together as thread start-up allows.
  std::optional<system_record> backup;
  if (target->online) {
    log_(route_line("Main", *target));
  } else {
    log_("[route] Main offline -> " + target->serial);
  }
  if (shared) {
    backup = config_.backup_for(target->serial);
    if (backup && backup->online) {
      log_(route_line("Backup", *backup));
    } else {
      log_("[route] Backup unavailable for Main " + target->serial);
      backup.reset();
    }
  }

  auto deliver = [this, &payload](const system_record& record) {
    return deliveries_.submit(
        [this, endpoint = endpoint_for(record), payload] { return transport_.send(endpoint, payload); });
  };
  std::optional<std::future<delivery_result>> to_target;
  std::optional<std::future<delivery_result>> to_backup;
  if (target->online) to_target = deliver(*target);
  if (backup) to_backup = deliver(*backup);

  if (to_target) result.deliveries.push_back(to_target->get());
  if (to_backup) result.deliveries.push_back(to_backup->get());
  return result;
}

}  // namespace tolvarine::operator_control
