#include "routing/command_router.h"

#include <exception>
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

// A delivery on its own thread. When no thread can be started the send
// runs on the caller's thread instead, so a command is never dropped.
class pending_delivery {
 public:
  pending_delivery(const udp_transport& transport, const system_record& record,
                   const std::string& payload) {
    system_endpoint endpoint = endpoint_for(record);
    try {
      future_ = std::async(std::launch::async,
                           [&transport, endpoint, payload] { return transport.send(endpoint, payload); });
    } catch (const std::exception&) {
      inline_result_ = transport.send(endpoint, payload);
    }
  }

  delivery_result wait() {
    if (inline_result_) return std::move(*inline_result_);
    return future_.get();
  }

 private:
  std::future<delivery_result> future_;
  std::optional<delivery_result> inline_result_;
};

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

  std::optional<pending_delivery> to_target;
  std::optional<pending_delivery> to_backup;
  if (target->online) to_target.emplace(transport_, *target, payload);
  if (backup) to_backup.emplace(transport_, *backup, payload);

  if (to_target) result.deliveries.push_back(to_target->wait());
  if (to_backup) result.deliveries.push_back(to_backup->wait());
  return result;
}

}  // namespace tolvarine::operator_control
