// The main thread's loop: every 50 ms it pumps the front end and checks for
// a changed UI port; every 2000 ms, counted from the end of the previous
// pass, it runs one refresh pass. Runs until `running` is cleared.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <ostream>

#include "app/refresh_cycle.h"
#include "common/clock.h"
#include "config/control_config.h"
#include "platform/platform_app.h"

namespace tolvarine::operator_control {

struct main_loop_context {
  control_config& config;
  refresh_cycle& refresh;
  std::atomic<bool>& running;
  std::ostream& out;
  std::ostream& err;
  platform_app* front_end = nullptr;        // none: no desktop front end
  std::function<size_t()> deck_count;       // empty: no Stream Deck adapter
  // Stops the operator UI server and starts it on the given port; true when
  // it listens there. Empty while there is no UI server: no port check.
  std::function<bool(uint16_t)> restart_ui_server;
  uint16_t bound_ui_port = kDefaultUiPort;
  // The loop's time: refresh scheduling reads `clock` and each turn ends
  // with `sleep` (empty: the thread sleeps). Tests step both.
  steady_clock_fn clock = steady_now;
  std::function<void(std::chrono::milliseconds)> sleep;
  std::function<void()> after_pass;  // run after each refresh pass; may be empty
};

void run_main_loop(main_loop_context& context);

// One UI port check (exposed for tests). False when the program must stop
// because not even the previous port could be restored.
bool check_ui_port(main_loop_context& context);

}  // namespace tolvarine::operator_control
