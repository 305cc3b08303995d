// A simulated USB bus of Stream Decks behind the hidapi C functions the deck
// adapter calls (hid_init, hid_exit, hid_enumerate, hid_free_enumeration,
// hid_open_path, hid_set_nonblocking, hid_get_serial_number_string,
// hid_read_timeout, hid_write, hid_send_feature_report, hid_close), in
// place of the real library: served to the unchanged program by the
// virtual-decks library, and linked into streamdeck-dump and the test
// programs, so the adapter they drive is the production code.
//
// Devices are plugged and unplugged by path; a replug or a "sleep" (the
// suspend/resume case) keeps the path but kills every handle opened before
// it, as hidraw does. Every output and feature report written to a device is
// recorded. Thread-safe: the adapter's thread and the test may use it at
// the same time.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tolvarine::operator_control::testing {

struct fake_device_spec {
  std::string path;
  std::uint16_t product_id = 0;
  std::uint16_t vendor_id = 0x0FD9;
  std::wstring serial;         // as listed by hid_enumerate
  std::wstring device_serial;  // as answered by hid_get_serial_number_string
  std::wstring product;        // product string
  bool open_fails = false;     // another program holds it / no permission
};

struct fake_report {
  enum kind_t { output, feature } kind;
  std::vector<std::uint8_t> bytes;
};

namespace fake_hid {

// Unplugs everything and forgets all state (recorded reports, counters,
// failure settings). Handles still open stay valid objects but are dead.
void reset();

void plug(const fake_device_spec& device);
void unplug(const std::string& path);
// Unplug and plug again under the same path: old handles die.
void replug(const std::string& path);
// The device stays listed but every open handle dies (suspend/resume).
void kill_handles(const std::string& path);
void set_open_fails(const std::string& path, bool fails);
// Lets `successes` more output reports through, then refuses the next one
// with -1 (the handle dies too).
void fail_write_after(const std::string& path, int successes);
void set_init_result(int result);

// An input report the device has waiting.
void queue_input(const std::string& path, std::vector<std::uint8_t> report);
std::size_t pending_input(const std::string& path);

// Reports written to the device so far; `take_reports` also forgets them.
std::vector<fake_report> reports(const std::string& path);
std::vector<fake_report> take_reports(const std::string& path);

// Hooks of the virtual-deck tool, which serves the same bus to an unchanged
// program. Set once, before any other call; never changed afterwards.
struct bus_hooks {
  std::function<void()> before_enumerate;                    // may plug and unplug
  std::function<void(const std::string& path)> before_read;  // may queue input
  // Takes every report written instead of the in-memory record; called
  // under the bus lock, so it must not call back into the bus.
  std::function<void(const std::string& path, const fake_report& report)> on_report;
};
void set_hooks(bus_hooks hooks);

int open_handles();  // opened and not yet closed
int init_calls();
int exit_calls();
int open_calls(const std::string& path);

}  // namespace fake_hid
}  // namespace tolvarine::operator_control::testing
