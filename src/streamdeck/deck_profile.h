// The Stream Deck model table and the record the adapter reports for each
// attached deck. Plain values; the table is constant and safe to read from
// any thread.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace tolvarine::operator_control {

// USB vendor id of every supported deck.
inline constexpr std::uint16_t streamdeck_vendor_id = 0x0FD9;

// A family decides the image format, the output and input report layouts
// and the reset command.
enum class deck_family : std::int32_t {
  family_main = 0,    // JPEG keys (15-, 32-key and later models)
  family_mini = 1,    // BMP keys, 6-key models
  family_legacy = 2,  // the first 15-key model, BMP keys
};

// One supported USB product id.
struct deck_profile {
  std::uint16_t product_id;
  const char* model_name;
  deck_family family;
  std::int32_t key_count;
  std::int32_t key_width;
  std::int32_t key_height;
  const char* image_format;  // "jpeg" or "bmp"
  std::int32_t image_rotation;  // degrees; what the key images are drawn with
};

// What the adapter reports about one attached deck.
struct deck_info {
  std::string serial;
  std::string product_id;  // decimal, e.g. "128" for 0x0080
  std::string name;        // product string, or the model name when empty
  std::string path;        // hidapi device path
  std::int32_t key_count = 0;
  std::int32_t key_width = 0;
  std::int32_t key_height = 0;
  std::string image_format;
  std::int32_t image_rotation = 0;

  friend bool operator==(const deck_info&, const deck_info&) = default;
};

// The supported models, in lookup order.
std::span<const deck_profile> profiles();

// The profile of `product_id`, or null when the model is not supported.
const deck_profile* profile_for(std::uint16_t product_id);

}  // namespace tolvarine::operator_control
