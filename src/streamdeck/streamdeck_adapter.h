// What the rest of the system sees of the Stream Decks: the attached decks,
// key painting, the built-in splash and key presses.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "streamdeck/deck_profile.h"

namespace tolvarine::operator_control {

// Interface over the attached decks. Implementations are thread-safe:
// `start`/`stop` belong to the owner; every other operation may be called
// from any thread. Operations that can fail return false; the reasons that
// matter to the operator are logged with the "[streamdeck]" tag.
class streamdeck_adapter {
 public:
  // Called on the adapter's own thread with no adapter lock held: deck
  // serial, key index from 0, pressed.
  using key_callback = std::function<void(const std::string& serial, int key, bool pressed)>;

  // Releases the decks and the callback. The owner calls `stop` first.
  virtual ~streamdeck_adapter() = default;

  // Initialises HID access and starts the background thread. True when
  // running afterwards (also when it already was).
  virtual bool start() = 0;
  // Stops the thread, resets and closes every deck, shuts HID access down.
  // Does nothing when not running.
  virtual void stop() = 0;
  // Every attached deck, ordered by serial.
  virtual std::vector<deck_info> decks() const = 0;
  // Paints one key with an image already encoded for the model (JPEG for
  // the main family, BMP otherwise). False when the deck is not attached,
  // the key is out of range, the image is empty or malformed, or a write
  // failed.
  virtual bool set_key_image(const std::string& serial, int key,
                             const std::vector<std::uint8_t>& bytes) = 0;
  // Paints one key black. False when the deck or key is unknown or a write
  // failed.
  virtual bool clear_key(const std::string& serial, int key) = 0;
  // Paints every key black, carrying on after a failed key. False when the
  // deck is unknown or any key failed.
  virtual bool clear_all(const std::string& serial) = 0;
  // Paints the built-in splash. False when the deck is unknown, its model
  // has no splash set or a write failed.
  virtual bool show_splash(const std::string& serial) = 0;
  // Replaces the key callback. While none is set, key reports are not read.
  virtual void on_key(key_callback callback) = 0;
};

// A stopped adapter on the system's HID library, with no decks and no
// callback.
std::unique_ptr<streamdeck_adapter> make_streamdeck_adapter();

}  // namespace tolvarine::operator_control
