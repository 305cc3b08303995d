#include "streamdeck/splash_images.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "streamdeck/bmp_images.h"
#include "streamdeck/deck_profile.h"

namespace tolvarine::operator_control {
namespace {

// Width and height from a BMP header, or from a JPEG's baseline frame header
// (SOF0; a progressive JPEG has none); {-1, -1} when neither is found.
std::pair<int, int> picture_size(const splash_image& image) {
  const unsigned char* d = image.data;
  if (image.size > 54 && d[0] == 'B' && d[1] == 'M') {
    return {d[18] | d[19] << 8, d[22] | d[23] << 8};
  }
  for (std::size_t at = 2; at + 9 < image.size && d[at] == 0xFF;
       at += 2 + static_cast<std::size_t>(d[at + 2] << 8 | d[at + 3])) {
    if (d[at + 1] == 0xC0) return {d[at + 7] << 8 | d[at + 8], d[at + 5] << 8 | d[at + 6]};
  }
  return {-1, -1};
}

// Every supported model gets one key-sized picture a key: a baseline JPEG,
// or a bottom-up 24-bit BMP that the legacy conversion takes.
TEST(streamdeck_splash, EveryModelGetsAFullSetOfKeySizedPictures) {
  for (const deck_profile& p : profiles()) {
    const bool legacy = p.family == deck_family::family_legacy;
    const auto set = legacy ? legacy15_splash_images()
                            : default_splash_images(p.key_count, p.key_width, p.key_height,
                                                    p.image_format, p.image_rotation);
    ASSERT_EQ(set.size(), static_cast<std::size_t>(p.key_count)) << p.model_name;
    for (const splash_image& image : set) {
      EXPECT_EQ(picture_size(image), std::make_pair(p.key_width, p.key_height)) << p.model_name;
      if (std::string(p.image_format) == "bmp") {
        EXPECT_EQ(image.size, 54u + 3u * static_cast<std::size_t>(p.key_width * p.key_height));
        EXPECT_EQ(image.data[28], 24);
      }
      std::vector<std::uint8_t> converted;
      EXPECT_TRUE(!legacy || convert_legacy_bmp(image.data, image.size, &converted));
    }
  }
}

}  // namespace
}  // namespace tolvarine::operator_control
