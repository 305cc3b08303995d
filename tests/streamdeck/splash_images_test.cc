#include "streamdeck/splash_images.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdio>
#include <csetjmp>
// jpeglib.h needs size_t and FILE declared first.
#include <jpeglib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "streamdeck/bmp_images.h"
#include "streamdeck/deck_profile.h"

namespace tolvarine::operator_control {
namespace {

// A decoded image, rows top to bottom as stored, RGB.
struct decoded {
  bool ok = false;
  std::string error;
  int width = 0, height = 0, warnings = 0;
  bool progressive = false;
  std::vector<std::uint8_t> rgb;
};

struct jpeg_failure {
  jpeg_error_mgr manager;
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

decoded decode_jpeg(const splash_image& image) {
  decoded out;
  jpeg_decompress_struct cinfo;
  jpeg_failure failure;
  cinfo.err = jpeg_std_error(&failure.manager);
  failure.manager.error_exit = [](j_common_ptr c) {
    auto* f = reinterpret_cast<jpeg_failure*>(c->err);
    c->err->format_message(c, f->message);
    std::longjmp(f->jump, 1);
  };
  failure.manager.output_message = [](j_common_ptr) {};
  jpeg_create_decompress(&cinfo);
  if (setjmp(failure.jump) != 0) {
    out.error = failure.message;
    jpeg_destroy_decompress(&cinfo);
    return out;
  }
  jpeg_mem_src(&cinfo, image.data, static_cast<unsigned long>(image.size));
  jpeg_read_header(&cinfo, TRUE);
  cinfo.out_color_space = JCS_RGB;
  jpeg_start_decompress(&cinfo);
  out.width = static_cast<int>(cinfo.output_width);
  out.height = static_cast<int>(cinfo.output_height);
  out.progressive = cinfo.progressive_mode != 0;
  out.rgb.resize(static_cast<std::size_t>(out.width * out.height * 3));
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row = &out.rgb[static_cast<std::size_t>(cinfo.output_scanline) *
                            static_cast<std::size_t>(out.width) * 3];
    jpeg_read_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_decompress(&cinfo);
  out.warnings = static_cast<int>(failure.manager.num_warnings);
  jpeg_destroy_decompress(&cinfo);
  out.ok = true;
  return out;
}

std::uint32_t get32(const splash_image& image, std::size_t at) {
  return image.data[at] | std::uint32_t{image.data[at + 1]} << 8 |
         std::uint32_t{image.data[at + 2]} << 16 | std::uint32_t{image.data[at + 3]} << 24;
}

// Mean blue of a stored row (or column) of a decoded square.
double mean_blue(const std::vector<std::uint8_t>& rgb, int side, int index, bool column) {
  double sum = 0;
  for (int i = 0; i < side; ++i) {
    const int x = column ? index : i;
    const int y = column ? i : index;
    sum += rgb[static_cast<std::size_t>((y * side + x) * 3 + 2)];
  }
  return sum / side;
}

// Blue of a stored BMP pixel (file row, column), rows in file order.
double bmp_mean_blue(const splash_image& image, int side, int index, bool column) {
  double sum = 0;
  for (int i = 0; i < side; ++i) {
    const int x = column ? index : i;
    const int y = column ? i : index;
    sum += image.data[54 + static_cast<std::size_t>((y * side + x) * 3)];
  }
  return sum / side;
}

int bmp_max_green(const splash_image& image, int side, int row) {
  int most = 0;
  for (int x = 0; x < side; ++x) {
    most = std::max<int>(most, image.data[54 + static_cast<std::size_t>((row * side + x) * 3 + 1)]);
  }
  return most;
}

struct jpeg_set {
  int keys, side, rotation;
};

// The top-left key of every set shows only the background, which darkens
// towards the top of the deck: that tells how each set is stored.
TEST(streamdeck_splash, JpegSetsAreBaselineKeySizedAndStoredAsDisplayed) {
  const jpeg_set sets[] = {{15, 72, 180}, {32, 96, 180}, {8, 120, 0}, {8, 96, 180}};
  for (const jpeg_set& s : sets) {
    const auto images = default_splash_images(s.keys, s.side, s.side, "jpeg", s.rotation);
    ASSERT_EQ(images.size(), static_cast<std::size_t>(s.keys)) << s.keys << " keys of " << s.side;
    for (std::size_t k = 0; k < images.size(); ++k) {
      const decoded d = decode_jpeg(images[k]);
      ASSERT_TRUE(d.ok) << s.keys << "/" << s.side << " key " << k << ": " << d.error;
      EXPECT_EQ(d.width, s.side);
      EXPECT_EQ(d.height, s.side);
      EXPECT_FALSE(d.progressive);
      EXPECT_EQ(d.warnings, 0);
      if (k == 0) {
        const double top = mean_blue(d.rgb, s.side, 0, false);
        const double bottom = mean_blue(d.rgb, s.side, s.side - 1, false);
        if (s.rotation == 180) {
          EXPECT_GT(top, bottom + 4) << "stored turned by 180 degrees";
        } else {
          EXPECT_LT(top + 4, bottom) << "stored upright";
        }
      }
    }
  }
}

TEST(streamdeck_splash, BmpSetsHaveTheFixedSizesAndOrientations) {
  const auto mini = default_splash_images(6, 80, 80, "bmp", 90);
  const auto legacy = legacy15_splash_images();
  ASSERT_EQ(mini.size(), 6u);
  ASSERT_EQ(legacy.size(), 15u);
  struct set {
    std::span<const splash_image> images;
    int side;
    std::size_t size;
  };
  for (const set& s : {set{mini, 80, mini_image_size}, set{legacy, 72, legacy_image_size}}) {
    for (const splash_image& image : s.images) {
      ASSERT_EQ(image.size, s.size);
      EXPECT_EQ(image.data[0], 'B');
      EXPECT_EQ(image.data[1], 'M');
      EXPECT_EQ(get32(image, 2), s.size);
      EXPECT_EQ(get32(image, 10), 54u);
      EXPECT_EQ(get32(image, 18), static_cast<std::uint32_t>(s.side));
      EXPECT_EQ(get32(image, 22), static_cast<std::uint32_t>(s.side)) << "bottom-up";
      EXPECT_EQ(image.data[28], 24);
      EXPECT_EQ(get32(image, 30), 0u);
    }
  }
  // Mini: the upright picture's rows run along the stored columns.
  EXPECT_LT(bmp_mean_blue(mini[0], 80, 0, true) + 4, bmp_mean_blue(mini[0], 80, 79, true));
  EXPECT_NEAR(bmp_mean_blue(mini[0], 80, 20, false), bmp_mean_blue(mini[0], 80, 60, false), 1.0);
  // ...and its right edge, where the mark's left ring starts, is stored first.
  EXPECT_GT(bmp_max_green(mini[0], 80, 0), 100);
  EXPECT_LT(bmp_max_green(mini[0], 80, 79), 80);
  // Legacy: stored upright, bottom row first.
  EXPECT_GT(bmp_mean_blue(legacy[0], 72, 0, false), bmp_mean_blue(legacy[0], 72, 71, false) + 4);
  for (const splash_image& image : legacy) {
    std::vector<std::uint8_t> converted;
    EXPECT_TRUE(convert_legacy_bmp(image.data, image.size, &converted));
  }
}

TEST(streamdeck_splash, OnlyTheMainAndMiniLayoutsHaveADefaultSet) {
  for (const deck_profile& p : profiles()) {
    const auto images = default_splash_images(p.key_count, p.key_width, p.key_height,
                                              p.image_format, p.image_rotation);
    const bool legacy = p.family == deck_family::family_legacy;
    EXPECT_EQ(images.size(), legacy ? 0u : static_cast<std::size_t>(p.key_count)) << p.model_name;
  }
  EXPECT_TRUE(default_splash_images(15, 72, 72, "jpeg", 0).empty());
  EXPECT_TRUE(default_splash_images(15, 72, 72, "JPEG", 180).empty());
  EXPECT_TRUE(default_splash_images(6, 80, 80, "bmp", 0).empty());
  EXPECT_TRUE(default_splash_images(8, 96, 96, "jpeg", 0).empty());
}

}  // namespace
}  // namespace tolvarine::operator_control
