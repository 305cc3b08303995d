#include "streamdeck/bmp_images.h"

#include <array>
#include <cstring>
#include <utility>

namespace tolvarine::operator_control {
namespace {

constexpr int legacy_side = 72;

void put16(std::uint8_t* at, std::uint16_t v) {
  at[0] = static_cast<std::uint8_t>(v);
  at[1] = static_cast<std::uint8_t>(v >> 8);
}

void put32(std::uint8_t* at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::uint32_t get32(const std::uint8_t* at) {
  return std::uint32_t{at[0]} | std::uint32_t{at[1]} << 8 | std::uint32_t{at[2]} << 16 |
         std::uint32_t{at[3]} << 24;
}

// A 24-bit uncompressed bottom-up BMP header for a square picture.
std::array<std::uint8_t, bmp_header_size> bmp_header(int side, std::uint32_t resolution) {
  std::array<std::uint8_t, bmp_header_size> h{};
  const auto pixels = static_cast<std::uint32_t>(side * side * 3);
  h[0] = 'B';
  h[1] = 'M';
  put32(&h[2], static_cast<std::uint32_t>(bmp_header_size) + pixels);
  put32(&h[10], static_cast<std::uint32_t>(bmp_header_size));
  put32(&h[14], 40);
  put32(&h[18], static_cast<std::uint32_t>(side));
  put32(&h[22], static_cast<std::uint32_t>(side));
  put16(&h[26], 1);
  put16(&h[28], 24);
  put32(&h[34], pixels);
  put32(&h[38], resolution);
  put32(&h[42], resolution);
  return h;
}

std::vector<std::uint8_t> black_image(int side, std::uint32_t resolution) {
  const auto header = bmp_header(side, resolution);
  std::vector<std::uint8_t> image(bmp_header_size + static_cast<std::size_t>(side * side * 3), 0);
  std::memcpy(image.data(), header.data(), header.size());
  return image;
}

}  // namespace

bool convert_legacy_bmp(const std::uint8_t* data, std::size_t size,
                        std::vector<std::uint8_t>* out) {
  if (size < bmp_header_size || data[0] != 'B' || data[1] != 'M') return false;
  const auto width = static_cast<std::int32_t>(get32(data + 18));
  const auto height = static_cast<std::int32_t>(get32(data + 22));
  const unsigned bits = data[28] | unsigned{data[29]} << 8;
  if (width != legacy_side || (height != legacy_side && height != -legacy_side)) return false;
  if ((bits != 24 && bits != 32) || get32(data + 30) != 0) return false;
  const std::size_t pixel_bytes = bits / 8;
  const std::size_t row_size = legacy_side * pixel_bytes;
  const std::size_t offset = get32(data + 10);
  if (offset > size || size - offset < legacy_side * row_size) return false;

  const auto header = bmp_header(legacy_side, 3780);
  std::vector<std::uint8_t> image(legacy_image_size);
  std::memcpy(image.data(), header.data(), header.size());
  std::uint8_t* to = image.data() + bmp_header_size;
  for (int r = 0; r < legacy_side; ++r) {
    // Output row r is the picture's row r from the top.
    const int source_row = height > 0 ? legacy_side - 1 - r : r;
    const std::uint8_t* row = data + offset + static_cast<std::size_t>(source_row) * row_size;
    for (int c = legacy_side - 1; c >= 0; --c) {
      const std::uint8_t* pixel = row + static_cast<std::size_t>(c) * pixel_bytes;
      *to++ = pixel[0];
      *to++ = pixel[1];
      *to++ = pixel[2];
    }
  }
  *out = std::move(image);
  return true;
}

const std::vector<std::uint8_t>& legacy_black_image() {
  static const std::vector<std::uint8_t> image = black_image(legacy_side, 3780);
  return image;
}

const std::vector<std::uint8_t>& mini_black_image() {
  static const std::vector<std::uint8_t> image = black_image(80, 0);
  return image;
}

}  // namespace tolvarine::operator_control
