// The Stream Deck adapter on hidapi (hidraw backend on Linux).
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/clock.h"
#include "common/mutex.h"
#include "streamdeck/connected_deck.h"
#include "streamdeck/streamdeck_adapter.h"

namespace tolvarine::operator_control {

// Finds decks of vendor 0x0FD9 as they come and go (a scan every 2 s), opens
// them, paints the built-in splash on each new one, and turns their input
// reports into key callbacks (a read pass every 20 ms). Owns the decks it
// has opened and one background thread.
//
// Thread rule: `start`/`stop` from the owner only; every other public
// method from any thread. Lock order: manager, then adapter (`mutex_`), then
// deck (`connected_deck::device_mutex`); the adapter mutex is held while a
// deck mutex is taken only in `stop`, and never taken while a deck mutex is
// held. No HID I/O under `mutex_` except the resets in `stop`; device I/O
// runs under the deck's mutex. The key callback is called with no lock held.
//
// Failure: operations return false; devices that cannot be used are
// reported on the problem sink (once per path where that matters); a deck
// whose handle died on a read or write is detached and reopened by the next
// scan.
class hid_streamdeck_adapter final : public streamdeck_adapter {
 public:
  using line_sink = std::function<void(const std::string& line)>;
  struct options {
    steady_clock_fn clock = steady_now;
    line_sink info;     // default: standard output
    line_sink problem;  // default: standard error
  };

  hid_streamdeck_adapter();
  explicit hid_streamdeck_adapter(options opts);
  // Calls `stop`, so a forgotten stop still resets the decks and joins.
  ~hid_streamdeck_adapter() override;

  bool start() override EXCLUDES(mutex_);
  void stop() override EXCLUDES(mutex_);
  std::vector<deck_info> decks() const override EXCLUDES(mutex_);
  bool set_key_image(const std::string& serial, int key,
                     const std::vector<std::uint8_t>& bytes) override EXCLUDES(mutex_);
  bool clear_key(const std::string& serial, int key) override EXCLUDES(mutex_);
  bool clear_all(const std::string& serial) override EXCLUDES(mutex_);
  bool show_splash(const std::string& serial) override EXCLUDES(mutex_);
  void on_key(key_callback callback) override EXCLUDES(mutex_);

  // One pass of the background thread: a scan when one is due at `now`
  // (at once after `start`, then every 2 s), then a read pass. Exposed so
  // tests and tools can drive the adapter without its thread; not to be
  // called while the thread runs.
  void run_once(steady_time now) EXCLUDES(mutex_);
  // Attaches new decks and detaches those no longer listed.
  void scan_once() EXCLUDES(mutex_);
  // Reads every waiting input report of every deck (at most 64 per deck)
  // and calls the key callback for each changed key, in key order. Reads
  // nothing while no callback is set.
  void read_keys_once() EXCLUDES(mutex_);

 private:
  using deck_ptr = std::shared_ptr<connected_deck>;

  void run();
  // Opens one listed device and adds it to the map.
  void attach(const hid_device_info& device, const deck_profile& profile) EXCLUDES(mutex_);
  // Reads `deck` until no report waits; false when its handle died.
  bool read_deck(const deck_ptr& deck, const key_callback& callback);
  deck_ptr find(const std::string& serial) const EXCLUDES(mutex_);
  bool attached_path_locked(const std::string& path) const REQUIRES(mutex_);
  // Takes a deck whose handle died out of the map (when it is still there)
  // and reports it detached.
  void detach_failed(const deck_ptr& deck) EXCLUDES(mutex_);
  // After an image operation: detaches the deck if a write killed it.
  bool finish_operation(const deck_ptr& deck, bool ok) EXCLUDES(mutex_);

  // Constant after construction.
  const options options_;

  // Owner only (start/stop).
  std::thread thread_;

  std::atomic<bool> running_{false};
  mutex sleep_mutex_;
  condition_variable wake_;

  mutable mutex mutex_;
  std::map<std::string, deck_ptr> decks_ GUARDED_BY(mutex_);
  std::set<std::string> unsupported_paths_ GUARDED_BY(mutex_);
  std::set<std::string> unopenable_paths_ GUARDED_BY(mutex_);
  key_callback callback_ GUARDED_BY(mutex_);
  std::optional<steady_time> next_scan_ GUARDED_BY(mutex_);
};

}  // namespace tolvarine::operator_control
