// The built-in splash sets: one picture per key, for each deck layout. The
// images are compiled into the program and constant; safe from any thread.
//
// The JPEG and Mini images are stored exactly as the devices display them
// (the model's rotation already applied); the legacy images are stored
// upright and turned by the legacy conversion on the way out.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

namespace tolvarine::operator_control {

struct splash_image {
  const unsigned char* data;
  std::size_t size;
};

// The set drawn for decks with exactly these key count, key size, image
// format and rotation; empty when no set matches. Only the main and Mini
// family models can match.
std::span<const splash_image> default_splash_images(int key_count, int key_width,
                                                    int key_height,
                                                    std::string_view image_format,
                                                    int rotation);

// The set of the legacy model: fifteen upright 72 x 72 24-bit BMPs.
std::span<const splash_image> legacy15_splash_images();

}  // namespace tolvarine::operator_control
