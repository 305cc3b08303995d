#include "streamdeck/input_report.h"

namespace tolvarine::operator_control {

std::optional<std::uint64_t> decode_key_report(deck_family family, int key_count,
                                               const std::uint8_t* data, std::size_t size) {
  if (size < 1 || data[0] != 1 || key_count < 0 || key_count > max_deck_keys) {
    return std::nullopt;
  }
  const auto keys = static_cast<std::size_t>(key_count);
  std::uint64_t states = 0;
  switch (family) {
    case deck_family::family_legacy:
      if (size <= keys) return std::nullopt;
      for (int k = 0; k < key_count; ++k) {
        const auto at = static_cast<std::size_t>(legacy_device_key(k));
        if (at < size && data[at] != 0) states |= std::uint64_t{1} << k;
      }
      return states;
    case deck_family::family_mini:
      if (size < keys + 1) return std::nullopt;
      for (std::size_t k = 0; k < keys; ++k) {
        if (data[1 + k] != 0) states |= std::uint64_t{1} << k;
      }
      return states;
    case deck_family::family_main:
      if (size < keys + 4 || data[1] != 0) return std::nullopt;
      for (std::size_t k = 0; k < keys; ++k) {
        if (data[4 + k] != 0) states |= std::uint64_t{1} << k;
      }
      return states;
  }
  return std::nullopt;
}

}  // namespace tolvarine::operator_control
