#include "streamdeck/splash_images.h"

#include <gtest/gtest.h>

#include <csetjmp>
#include <cstddef>
#include <cstdio>
// jpeglib.h needs size_t and FILE declared first.
#include <jpeglib.h>

#include <functional>
#include <string>
#include <vector>

#include "streamdeck/bmp_images.h"

namespace tolvarine::operator_control {
namespace {

// A decoded baseline JPEG, rows top to bottom as stored, RGB; `error` set
// when libjpeg refused it or warned.
struct decoded {
  std::string error;
  int width = 0, height = 0;
  std::vector<std::uint8_t> rgb;
};

decoded decode_jpeg(const splash_image& image) {
  struct failure_t {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
  } failure;
  decoded out;
  jpeg_decompress_struct cinfo;
  cinfo.err = jpeg_std_error(&failure.manager);
  failure.manager.error_exit = [](j_common_ptr c) {
    auto* f = reinterpret_cast<failure_t*>(c->err);
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
  out.rgb.resize(static_cast<std::size_t>(out.width * out.height * 3));
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row =
        &out.rgb[static_cast<std::size_t>(cinfo.output_scanline * cinfo.output_width) * 3];
    jpeg_read_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_decompress(&cinfo);
  if (cinfo.progressive_mode) out.error = "progressive";
  if (failure.manager.num_warnings != 0) out.error = "warnings";
  jpeg_destroy_decompress(&cinfo);
  return out;
}

std::uint32_t get32(const splash_image& image, std::size_t at) {
  return image.data[at] | std::uint32_t{image.data[at + 1]} << 8 |
         std::uint32_t{image.data[at + 2]} << 16 | std::uint32_t{image.data[at + 3]} << 24;
}

// Mean of `value(x, y)` along stored row `index` (or column) of a square.
double mean_along(int side, int index, bool column, const std::function<int(int, int)>& value) {
  double sum = 0;
  for (int i = 0; i < side; ++i) sum += column ? value(index, i) : value(i, index);
  return sum / side;
}

// Channel `c` (BMP order: blue, green, red) of a stored BMP pixel.
std::function<int(int, int)> bmp_channel(const splash_image& image, int side, int c) {
  return [&image, side, c](int x, int y) {
    return image.data[54 + static_cast<std::size_t>((y * side + x) * 3 + c)];
  };
}

// The top-left key of every set shows only the background, which darkens
// towards the top of the deck: that tells how each set is stored.
TEST(streamdeck_splash, JpegSetsAreBaselineKeySizedAndStoredAsDisplayed) {
  struct jpeg_set {
    int keys, side, rotation;
  };
  for (const jpeg_set& s :
       {jpeg_set{15, 72, 180}, jpeg_set{32, 96, 180}, jpeg_set{8, 120, 0}, jpeg_set{8, 96, 180}}) {
    const auto images = default_splash_images(s.keys, s.side, s.side, "jpeg", s.rotation);
    ASSERT_EQ(images.size(), static_cast<std::size_t>(s.keys)) << s.keys << " keys of " << s.side;
    for (std::size_t k = 0; k < images.size(); ++k) {
      const decoded d = decode_jpeg(images[k]);
      ASSERT_EQ(d.error, "") << s.keys << "/" << s.side << " key " << k;
      EXPECT_EQ(d.width, s.side);
      EXPECT_EQ(d.height, s.side);
    }
    const decoded first = decode_jpeg(images[0]);
    const auto blue = [&](int x, int y) {
      return first.rgb[static_cast<std::size_t>((y * s.side + x) * 3 + 2)];
    };
    const double top = mean_along(s.side, 0, false, blue),
                 bottom = mean_along(s.side, s.side - 1, false, blue);
    if (s.rotation == 180) {
      EXPECT_GT(top, bottom + 4) << "stored turned by 180 degrees";
    } else {
      EXPECT_LT(top + 4, bottom) << "stored upright";
    }
  }
}

TEST(streamdeck_splash, BmpSetsHaveTheFixedSizesAndOrientations) {
  const auto mini = default_splash_images(6, 80, 80, "bmp", 90);
  const auto legacy = legacy15_splash_images();
  ASSERT_EQ(mini.size(), 6u);
  ASSERT_EQ(legacy.size(), 15u);
  for (const auto& [images, side, size] :
       {std::tuple{mini, 80u, mini_image_size}, std::tuple{legacy, 72u, legacy_image_size}}) {
    for (const splash_image& image : images) {
      ASSERT_EQ(image.size, size);
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(image.data), 2), "BM");
      EXPECT_EQ(get32(image, 2), size);
      EXPECT_EQ(get32(image, 10), 54u);
      EXPECT_EQ(get32(image, 18), side);
      EXPECT_EQ(get32(image, 22), side) << "bottom-up";
      EXPECT_EQ(image.data[28], 24);
      EXPECT_EQ(get32(image, 30), 0u);
    }
  }
  // Mini: the upright picture's rows run along the stored columns...
  const auto mini_blue = bmp_channel(mini[0], 80, 0);
  EXPECT_LT(mean_along(80, 0, true, mini_blue) + 4, mean_along(80, 79, true, mini_blue));
  EXPECT_NEAR(mean_along(80, 20, false, mini_blue), mean_along(80, 60, false, mini_blue), 1.0);
  // ...and its right edge, where the mark's left ring starts, is stored first.
  const auto mini_green = bmp_channel(mini[0], 80, 1);
  int first_row = 0, last_row = 0;
  for (int x = 0; x < 80; ++x) {
    first_row = std::max(first_row, mini_green(x, 0));
    last_row = std::max(last_row, mini_green(x, 79));
  }
  EXPECT_GT(first_row, 100);
  EXPECT_LT(last_row, 80);
  // Legacy: stored upright, bottom row first.
  const auto legacy_blue = bmp_channel(legacy[0], 72, 0);
  EXPECT_GT(mean_along(72, 0, false, legacy_blue), mean_along(72, 71, false, legacy_blue) + 4);
  for (const splash_image& image : legacy) {
    std::vector<std::uint8_t> converted;
    EXPECT_TRUE(convert_legacy_bmp(image.data, image.size, &converted));
  }
}

}  // namespace
}  // namespace tolvarine::operator_control
