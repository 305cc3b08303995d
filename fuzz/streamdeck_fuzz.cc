// Drives the Stream Deck input-report decoder and the legacy BMP conversion
// with arbitrary bytes. The first byte picks what is fed where; half the
// conversion inputs get a header built from plausible field values so the
// pixel copy is reached often.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "streamdeck/bmp_images.h"
#include "streamdeck/deck_profile.h"
#include "streamdeck/input_report.h"

using namespace tolvarine::operator_control;

namespace {

void put32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
}

void check_conversion(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> out;
  if (!convert_legacy_bmp(data, size, &out)) {
    if (!out.empty()) __builtin_trap();
    return;
  }
  if (out.size() != legacy_image_size) __builtin_trap();
  if (std::memcmp(out.data(), legacy_black_image().data(), bmp_header_size) != 0) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const std::uint8_t mode = data[0];
  const std::uint8_t* rest = data + 1;
  const std::size_t rest_size = size - 1;

  // Input reports, for every model's layout and for odd key counts.
  const auto models = profiles();
  const deck_profile& p = models[mode % models.size()];
  const int key_count = (mode & 0x80) ? mode % 70 : p.key_count;
  const auto states = decode_key_report(p.family, key_count, rest, rest_size);
  if (states) {
    if (rest[0] != 1) __builtin_trap();
    if (key_count < 64 && (*states >> key_count) != 0) __builtin_trap();
  }

  check_conversion(rest, rest_size);
  if (rest_size >= 6) {
    // A header from a few plausible values, the pixels from the input.
    static const std::int32_t widths[] = {72, 73, 71, -72};
    static const std::int32_t heights[] = {72, -72, 71, 0};
    static const std::uint16_t bits[] = {24, 32, 16, 8};
    const std::size_t offset = 54 + rest[3] % 8;
    std::vector<std::uint8_t> bmp(offset, 0);
    bmp[0] = 'B';
    bmp[1] = 'M';
    put32(bmp, 10, static_cast<std::uint32_t>(offset));
    put32(bmp, 18, static_cast<std::uint32_t>(widths[rest[0] % 4]));
    put32(bmp, 22, static_cast<std::uint32_t>(heights[(rest[0] >> 2) % 4]));
    bmp[28] = static_cast<std::uint8_t>(bits[(rest[0] >> 4) % 4]);
    bmp[30] = (rest[0] & 0x40) ? 1 : 0;
    // Stretch the input to about the size the header asks for.
    const std::size_t wanted = 72 * 72 * 4 - rest[1] % 64 + rest[2] % 64;
    for (std::size_t i = 0; bmp.size() < offset + wanted; ++i) bmp.push_back(rest[4 + i % (rest_size - 4)]);
    check_conversion(bmp.data(), bmp.size());
  }
  return 0;
}
