// The desktop front end, reached only through this interface. On a desktop
// without a front end make_platform_app() returns none and every caller
// skips the front-end steps.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace tolvarine::operator_control {

struct platform_callbacks {
  std::function<void()> open_ui;
  std::function<void()> configure;
  std::function<void()> show_log;
  std::function<void()> exit_app;
};

// What the front end shows after each refresh pass.
struct platform_status {
  std::string main_label;
  std::string backup_label;
  std::string sync_label;
  size_t deck_count = 0;
};

// Driven from the main thread only; the callbacks run on it, inside pump().
class platform_app {
 public:
  virtual ~platform_app() = default;
  // Shows the front end; false when it could not be shown.
  virtual bool start(platform_callbacks callbacks, uint16_t ui_port, std::string log_path) = 0;
  // Handles pending user-interface events and returns at once.
  virtual void pump() = 0;
  // Takes the status; the menu changes only when the status did.
  virtual void update_status(const platform_status& status) = 0;
  virtual void set_ui_port(uint16_t port) = 0;
  // Whether the autostart entry exists, and installing or removing it.
  virtual bool start_at_login() const = 0;
  virtual void set_start_at_login(bool enable) = 0;
  virtual void stop() = 0;
};

// The desktop's front end, or none (no display, no session bus, no tray
// host, or built without tray support).
std::unique_ptr<platform_app> make_platform_app();

}  // namespace tolvarine::operator_control
