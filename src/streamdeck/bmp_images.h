// The BMP images of the BMP deck families: the conversion of a key image
// into the legacy model's fixed format, and the black key images. Pure
// functions; the black images are built once on first use (thread-safe) and
// kept for the life of the process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tolvarine::operator_control {

// Byte sizes of the fixed formats.
inline constexpr std::size_t bmp_header_size = 54;
inline constexpr std::size_t legacy_image_size = 15606;  // 72 x 72, 24 bits
inline constexpr std::size_t mini_image_size = 19254;    // 80 x 80, 24 bits

// Converts a 72 x 72 BMP (24 or 32 bits, bottom-up or top-down, no
// compression, rows without padding) into the legacy model's format: the
// fixed 54-byte header, then the picture turned by 180 degrees as 24-bit
// blue-green-red pixels. Returns false, leaving *out untouched, when the
// input is anything else.
[[nodiscard]] bool convert_legacy_bmp(const std::uint8_t* data, std::size_t size,
                                      std::vector<std::uint8_t>* out);

// The fixed legacy header followed by 72 x 72 black pixels.
const std::vector<std::uint8_t>& legacy_black_image();

// An 80 x 80 24-bit bottom-up black BMP for the Mini family.
const std::vector<std::uint8_t>& mini_black_image();

}  // namespace tolvarine::operator_control
