// Decoding of the key state input reports of each deck family. Pure
// functions, safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "streamdeck/deck_profile.h"

namespace tolvarine::operator_control {

// Largest key count a key state mask can hold.
inline constexpr int max_deck_keys = 64;

// Device key number (1-based, right to left within a row of five) of the
// legacy model's key `key` (0-based, left to right, top to bottom). The same
// numbering is used for its input bytes and its image reports.
inline int legacy_device_key(int key) { return 5 * (key / 5) + 5 - key % 5; }

// The pressed state of every key in one input report, bit k for key k.
// Nothing when the report carries no key states: empty, a report id other
// than 1, too short for the family, or (main family) a dial or touch report.
std::optional<std::uint64_t> decode_key_report(deck_family family, int key_count,
                                               const std::uint8_t* data, std::size_t size);

}  // namespace tolvarine::operator_control
