// One open deck, shared (reference-counted) between the adapter's map and
// any image operation in progress.
//
// Thread rule: the device handle and the key states are used only under
// `device_mutex`, so a write from the deck manager's thread and a read from
// the adapter's thread never overlap. Lock order: manager, then adapter, then
// deck; the deck mutex is never held while the adapter mutex is taken.
// HID I/O happens under `device_mutex` by design: it is what serialises it.
//
// Failure: a negative result from a read or a write means the handle is
// dead (the device went away, or was replugged or resumed under the same
// path). The handle is then closed and `failed` set, and the adapter
// detaches the deck so that its next scan opens it afresh.
#pragma once

#include <hidapi/hidapi.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "common/mutex.h"
#include "streamdeck/deck_profile.h"

namespace tolvarine::operator_control {

class connected_deck {
 public:
  connected_deck(deck_info info, const deck_profile& profile, hid_device* handle);
  ~connected_deck();
  connected_deck(const connected_deck&) = delete;
  connected_deck& operator=(const connected_deck&) = delete;

  // Output report: true when the device took it. A negative result closes
  // the handle and marks the deck failed.
  [[nodiscard]] bool write_locked(const std::uint8_t* data, std::size_t size)
      REQUIRES(device_mutex);
  // Feature report: true when the device took it. A refusal leaves the
  // handle open (a device may refuse a report it does not know).
  [[nodiscard]] bool send_feature_locked(const std::uint8_t* data, std::size_t size)
      REQUIRES(device_mutex);
  // One waiting input report into `buffer`: its length, 0 when none is
  // waiting or the handle is closed, -1 after a read error (which closes
  // the handle and marks the deck failed).
  int read_locked(std::uint8_t* buffer, std::size_t capacity) REQUIRES(device_mutex);
  // Closes the handle if open. Idempotent.
  void close_locked() REQUIRES(device_mutex);
  bool open_locked() const REQUIRES(device_mutex) { return handle_ != nullptr; }

  // True once a read or write error closed the handle; any thread.
  bool failed() const { return failed_.load(); }

  // Constant after construction.
  const deck_info info;
  const deck_profile profile;

  mutable mutex device_mutex;
  // Pressed state of each key, bit k for key k; all released at attach.
  std::uint64_t key_states GUARDED_BY(device_mutex) = 0;

 private:
  void fail_locked() REQUIRES(device_mutex);

  hid_device* handle_ GUARDED_BY(device_mutex);
  std::atomic<bool> failed_{false};
};

}  // namespace tolvarine::operator_control
