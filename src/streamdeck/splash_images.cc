#include "streamdeck/splash_images.h"

#include <array>

#include "streamdeck_splash/streamdeck_splash_embedded.h"

namespace tolvarine::operator_control {
namespace {

namespace img = ::streamdeck_splash;

#define TRC_SPLASH(name) \
  splash_image { img::name, img::name##_size }

const std::array<splash_image, 15> deck15_images{{
    TRC_SPLASH(deck15_00_jpg),
    TRC_SPLASH(deck15_01_jpg),
    TRC_SPLASH(deck15_02_jpg),
    TRC_SPLASH(deck15_03_jpg),
    TRC_SPLASH(deck15_04_jpg),
    TRC_SPLASH(deck15_05_jpg),
    TRC_SPLASH(deck15_06_jpg),
    TRC_SPLASH(deck15_07_jpg),
    TRC_SPLASH(deck15_08_jpg),
    TRC_SPLASH(deck15_09_jpg),
    TRC_SPLASH(deck15_10_jpg),
    TRC_SPLASH(deck15_11_jpg),
    TRC_SPLASH(deck15_12_jpg),
    TRC_SPLASH(deck15_13_jpg),
    TRC_SPLASH(deck15_14_jpg),
}};

const std::array<splash_image, 32> deck32_images{{
    TRC_SPLASH(deck32_00_jpg),
    TRC_SPLASH(deck32_01_jpg),
    TRC_SPLASH(deck32_02_jpg),
    TRC_SPLASH(deck32_03_jpg),
    TRC_SPLASH(deck32_04_jpg),
    TRC_SPLASH(deck32_05_jpg),
    TRC_SPLASH(deck32_06_jpg),
    TRC_SPLASH(deck32_07_jpg),
    TRC_SPLASH(deck32_08_jpg),
    TRC_SPLASH(deck32_09_jpg),
    TRC_SPLASH(deck32_10_jpg),
    TRC_SPLASH(deck32_11_jpg),
    TRC_SPLASH(deck32_12_jpg),
    TRC_SPLASH(deck32_13_jpg),
    TRC_SPLASH(deck32_14_jpg),
    TRC_SPLASH(deck32_15_jpg),
    TRC_SPLASH(deck32_16_jpg),
    TRC_SPLASH(deck32_17_jpg),
    TRC_SPLASH(deck32_18_jpg),
    TRC_SPLASH(deck32_19_jpg),
    TRC_SPLASH(deck32_20_jpg),
    TRC_SPLASH(deck32_21_jpg),
    TRC_SPLASH(deck32_22_jpg),
    TRC_SPLASH(deck32_23_jpg),
    TRC_SPLASH(deck32_24_jpg),
    TRC_SPLASH(deck32_25_jpg),
    TRC_SPLASH(deck32_26_jpg),
    TRC_SPLASH(deck32_27_jpg),
    TRC_SPLASH(deck32_28_jpg),
    TRC_SPLASH(deck32_29_jpg),
    TRC_SPLASH(deck32_30_jpg),
    TRC_SPLASH(deck32_31_jpg),
}};

const std::array<splash_image, 6> mini6_images{{
    TRC_SPLASH(mini6_00_bmp),
    TRC_SPLASH(mini6_01_bmp),
    TRC_SPLASH(mini6_02_bmp),
    TRC_SPLASH(mini6_03_bmp),
    TRC_SPLASH(mini6_04_bmp),
    TRC_SPLASH(mini6_05_bmp),
}};

const std::array<splash_image, 8> plus8_images{{
    TRC_SPLASH(plus8_00_jpg),
    TRC_SPLASH(plus8_01_jpg),
    TRC_SPLASH(plus8_02_jpg),
    TRC_SPLASH(plus8_03_jpg),
    TRC_SPLASH(plus8_04_jpg),
    TRC_SPLASH(plus8_05_jpg),
    TRC_SPLASH(plus8_06_jpg),
    TRC_SPLASH(plus8_07_jpg),
}};

const std::array<splash_image, 8> neo8_images{{
    TRC_SPLASH(neo8_00_jpg),
    TRC_SPLASH(neo8_01_jpg),
    TRC_SPLASH(neo8_02_jpg),
    TRC_SPLASH(neo8_03_jpg),
    TRC_SPLASH(neo8_04_jpg),
    TRC_SPLASH(neo8_05_jpg),
    TRC_SPLASH(neo8_06_jpg),
    TRC_SPLASH(neo8_07_jpg),
}};

const std::array<splash_image, 15> legacy15_images{{
    TRC_SPLASH(legacy15_00_bmp),
    TRC_SPLASH(legacy15_01_bmp),
    TRC_SPLASH(legacy15_02_bmp),
    TRC_SPLASH(legacy15_03_bmp),
    TRC_SPLASH(legacy15_04_bmp),
    TRC_SPLASH(legacy15_05_bmp),
    TRC_SPLASH(legacy15_06_bmp),
    TRC_SPLASH(legacy15_07_bmp),
    TRC_SPLASH(legacy15_08_bmp),
    TRC_SPLASH(legacy15_09_bmp),
    TRC_SPLASH(legacy15_10_bmp),
    TRC_SPLASH(legacy15_11_bmp),
    TRC_SPLASH(legacy15_12_bmp),
    TRC_SPLASH(legacy15_13_bmp),
    TRC_SPLASH(legacy15_14_bmp),
}};

#undef TRC_SPLASH

// Which set each deck layout gets.
struct splash_choice {
  int key_count, key_width, key_height;
  std::string_view image_format;
  int rotation;
  std::span<const splash_image> images;
};

const std::array<splash_choice, 5> splash_table{{
    {15, 72, 72, "jpeg", 180, deck15_images},
    {32, 96, 96, "jpeg", 180, deck32_images},
    {6, 80, 80, "bmp", 90, mini6_images},
    {8, 120, 120, "jpeg", 0, plus8_images},
    {8, 96, 96, "jpeg", 180, neo8_images},
}};

}  // namespace

std::span<const splash_image> default_splash_images(int key_count, int key_width,
                                                    int key_height,
                                                    std::string_view image_format,
                                                    int rotation) {
  for (const splash_choice& c : splash_table) {
    if (c.key_count == key_count && c.key_width == key_width && c.key_height == key_height &&
        c.image_format == image_format && c.rotation == rotation) {
      return c.images;
    }
  }
  return {};
}

std::span<const splash_image> legacy15_splash_images() { return legacy15_images; }

}  // namespace tolvarine::operator_control
