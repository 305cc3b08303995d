#include "app/main_loop.h"

#include <chrono>
#include <thread>

namespace tolvarine::operator_control {

bool check_ui_port(main_loop_context& c) {
  if (!c.restart_ui_server) return true;
  const uint16_t wanted = c.config.ui_port();
  if (wanted == c.bound_ui_port) return true;
  if (c.restart_ui_server(wanted)) {
    c.config.set_runtime_ui_port(wanted);
    if (c.front_end) c.front_end->set_ui_port(wanted);
    c.out << "[shell] UI port changed to " << wanted << std::endl;
    c.bound_ui_port = wanted;
    return true;
  }
  c.err << "[shell] unable to bind requested UI port " << wanted << "; restoring " << c.bound_ui_port
        << std::endl;
  c.config.set_ui_port(c.bound_ui_port);
  c.config.save();
  if (!c.restart_ui_server(c.bound_ui_port)) {
    c.err << "[shell] unable to restore previous UI port; shutting down" << std::endl;
    c.running.store(false, std::memory_order_release);
    return false;
  }
  c.config.set_runtime_ui_port(c.bound_ui_port);
  if (c.front_end) c.front_end->set_ui_port(c.bound_ui_port);
  return true;
}

void run_main_loop(main_loop_context& c) {
  constexpr std::chrono::milliseconds kTurn{50};
  steady_time next_refresh = steady_time::min();
  while (c.running.load(std::memory_order_acquire)) {
    if (c.front_end) c.front_end->pump();
    if (!check_ui_port(c)) return;
    if (c.clock() >= next_refresh) {
      std::optional<platform_status> status = c.refresh.run_pass();
      if (status && c.front_end) {
        status->deck_count = c.deck_count ? c.deck_count() : 0;
        c.front_end->update_status(*status);
      }
      if (c.after_pass) c.after_pass();
      // Counted from the end of the pass, also when it ended by an exception.
      next_refresh = c.clock() + std::chrono::milliseconds(2000);
    }
    if (c.sleep) {
      c.sleep(kTurn);
    } else {
      std::this_thread::sleep_for(kTurn);
    }
  }
}

}  // namespace tolvarine::operator_control
