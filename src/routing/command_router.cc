#include "routing/command_router.h"

#include <future>
#include <iostream>
#include <optional>
#include <system_error>
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
    : config_(config), log_(log ? std::move(log) : log_fn(log_to_stdout)) {}

std::future<delivery_result> command_router::deliver(const system_record& record,
                                                     const std::string& payload) const {
  auto task = [this, endpoint = endpoint_for(record), payload] {
    return transport_.send(endpoint, payload);
  };
  try {
    return std::async(std::launch::async, task);
  } catch (const std::system_error&) {
    // No thread could be started: deliver on the caller's thread instead.
    std::promise<delivery_result> done;
    done.set_value(task());
    return done.get_future();
  }
}

fanout_result command_router::route_streamdeck(int function_id, const std::string& target_serial,
                                               const std::string& payload) {
  fanout_result result;
  result.sequence = sequence_.fetch_add(1, std::memory_order_relaxed) + 1;
  result.payload = payload;

  const std::optional<system_record> target =
      target_serial.empty() ? config_.main_system() : config_.find(target_serial);
  if (!target) return result;
  const bool shared = config_.shared_functions().count(function_id) > 0;

  std::optional<std::future<delivery_result>> to_target;
  std::optional<std::future<delivery_result>> to_backup;
  if (target->online) {
    log_(route_line("Main", *target));
    to_target = deliver(*target, payload);
  } else {
    log_("[route] Main offline -> " + target->serial);
  }
  // The Backup is served even when the target itself is offline.
  if (shared) {
    const std::optional<system_record> backup = config_.backup_for(target->serial);
    if (backup && backup->online) {
      log_(route_line("Backup", *backup));
      to_backup = deliver(*backup, payload);
    } else {
      log_("[route] Backup unavailable for Main " + target->serial);
    }
  }

  if (to_target) result.deliveries.push_back(to_target->get());
  if (to_backup) result.deliveries.push_back(to_backup->get());
  return result;
}

}  // namespace tolvarine::operator_control
