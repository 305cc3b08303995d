#include "streamdeck/key_image_writer.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "streamdeck/bmp_images.h"
#include "streamdeck/input_report.h"
#include "streamdeck/splash_images.h"

namespace tolvarine::operator_control {
namespace {

constexpr std::size_t image_report_size = 1024;
constexpr std::size_t main_header_size = 8;
constexpr std::size_t mini_header_size = 16;
constexpr std::size_t legacy_report_size = 8191;
constexpr std::size_t legacy_first_part = 7803;
constexpr std::size_t feature_report_size = 32;

}  // namespace

bool write_key_image(connected_deck& deck, int key, std::span<const std::uint8_t> image) {
  switch (deck.profile.family) {
    case deck_family::family_main:
      return write_main_image(deck, key, image);
    case deck_family::family_mini:
      return write_mini_image(deck, key, image);
    case deck_family::family_legacy:
      return write_legacy_image(deck, key, image);
  }
  return false;
}

bool write_main_image(connected_deck& deck, int key, std::span<const std::uint8_t> image) {
  constexpr std::size_t page_capacity = image_report_size - main_header_size;
  std::array<std::uint8_t, image_report_size> report;
  std::size_t sent = 0;
  std::uint16_t page = 0;
  do {
    const std::size_t count = std::min(page_capacity, image.size() - sent);
    const bool last = sent + count == image.size();
    report.fill(0);
    report[0] = 0x02;
    report[1] = 0x07;
    report[2] = static_cast<std::uint8_t>(key);
    report[3] = last ? 1 : 0;
    report[4] = static_cast<std::uint8_t>(count);
    report[5] = static_cast<std::uint8_t>(count >> 8);
    report[6] = static_cast<std::uint8_t>(page);
    report[7] = static_cast<std::uint8_t>(page >> 8);
    if (count > 0) std::memcpy(&report[main_header_size], image.data() + sent, count);
    if (!deck.write_locked(report.data(), report.size())) return false;
    sent += count;
    ++page;
  } while (sent < image.size());
  return true;
}

bool write_mini_image(connected_deck& deck, int key, std::span<const std::uint8_t> image) {
  constexpr std::size_t page_capacity = image_report_size - mini_header_size;
  std::array<std::uint8_t, image_report_size> report;
  std::size_t sent = 0;
  unsigned page = 0;
  do {
    const std::size_t count = std::min(page_capacity, image.size() - sent);
    const bool last = sent + count == image.size();
    report.fill(0);
    report[0] = 0x02;
    report[1] = 0x01;
    report[2] = static_cast<std::uint8_t>(page);
    report[4] = last ? 1 : 0;
    report[5] = static_cast<std::uint8_t>(key + 1);
    if (count > 0) std::memcpy(&report[mini_header_size], image.data() + sent, count);
    if (!deck.write_locked(report.data(), report.size())) return false;
    sent += count;
    ++page;
  } while (sent < image.size());
  return true;
}

bool write_legacy_image(connected_deck& deck, int key, std::span<const std::uint8_t> image) {
  std::vector<std::uint8_t> converted;
  if (!convert_legacy_bmp(image.data(), image.size(), &converted)) return false;
  const auto device_key = static_cast<std::uint8_t>(legacy_device_key(key));
  std::vector<std::uint8_t> report(legacy_report_size);
  for (std::uint8_t part = 1; part <= 2; ++part) {
    std::fill(report.begin(), report.end(), 0);
    report[0] = 0x02;
    report[1] = 0x01;
    report[2] = part;
    report[4] = part == 2 ? 1 : 0;
    report[5] = device_key;
    const std::size_t from = part == 1 ? 0 : legacy_first_part;
    const std::size_t to = part == 1 ? legacy_first_part : converted.size();
    std::memcpy(&report[16], converted.data() + from, to - from);
    if (!deck.write_locked(report.data(), report.size())) return false;
  }
  return true;
}

bool clear_deck_key(connected_deck& deck, int key) {
  switch (deck.profile.family) {
    case deck_family::family_legacy:
      return write_legacy_image(deck, key, legacy_black_image());
    case deck_family::family_mini:
      return write_mini_image(deck, key, mini_black_image());
    case deck_family::family_main: {
      std::array<std::uint8_t, feature_report_size> report{};
      report[0] = 0x03;
      report[1] = 0x06;
      report[2] = static_cast<std::uint8_t>(key);
      return deck.send_feature_locked(report.data(), report.size());
    }
  }
  return false;
}

bool show_tolvarine_splash(connected_deck& deck) {
  const deck_profile& p = deck.profile;
  const std::span<const splash_image> images =
      p.family == deck_family::family_legacy
          ? legacy15_splash_images()
          : default_splash_images(p.key_count, p.key_width, p.key_height, p.image_format,
                                  p.image_rotation);
  if (images.size() != static_cast<std::size_t>(p.key_count)) return false;
  bool all = true;
  for (int k = 0; k < p.key_count; ++k) {
    const splash_image& image = images[static_cast<std::size_t>(k)];
    if (!write_key_image(deck, k, {image.data, image.size})) all = false;
  }
  return all;
}

}  // namespace tolvarine::operator_control
