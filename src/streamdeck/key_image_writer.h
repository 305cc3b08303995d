// Turns key images into each deck family's output reports and writes them.
//
// Every function runs under the deck's own mutex (the caller holds it) and
// returns true only when every report was taken; a writer stops at the first
// refused report, leaving the key as it was or partly painted. A write error
// also closes the deck's handle (see connected_deck).
#pragma once

#include <cstdint>
#include <span>

#include "streamdeck/connected_deck.h"

namespace tolvarine::operator_control {

// Main family: reports of 1024 bytes, at most 1016 image bytes each.
[[nodiscard]] bool write_main_image(connected_deck& deck, int key,
                                    std::span<const std::uint8_t> image)
    REQUIRES(deck.device_mutex);

// Mini family: reports of 1024 bytes, at most 1008 image bytes each; the
// image is sent as handed in.
[[nodiscard]] bool write_mini_image(connected_deck& deck, int key,
                                    std::span<const std::uint8_t> image)
    REQUIRES(deck.device_mutex);

// Legacy model: converts the image (convert_legacy_bmp; false when it does
// not convert) and sends it as two reports of 8191 bytes.
[[nodiscard]] bool write_legacy_image(connected_deck& deck, int key,
                                      std::span<const std::uint8_t> image)
    REQUIRES(deck.device_mutex);

// The writer of the deck's family.
[[nodiscard]] bool write_key_image(connected_deck& deck, int key,
                                   std::span<const std::uint8_t> image)
    REQUIRES(deck.device_mutex);

// Paints one key black in the family's way.
[[nodiscard]] bool clear_deck_key(connected_deck& deck, int key) REQUIRES(deck.device_mutex);

// Paints the built-in splash set of the deck's model on every key, carrying
// on after a failed key. False when any key failed, or without writing
// anything when no set has the deck's key count.
[[nodiscard]] bool show_tolvarine_splash(connected_deck& deck) REQUIRES(deck.device_mutex);

}  // namespace tolvarine::operator_control
