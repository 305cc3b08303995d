#include "streamdeck/key_image_writer.h"

#include <gtest/gtest.h>

#include "deck_test_support.h"

namespace tolvarine::operator_control::testing {
namespace {

using streamdeck_key_images = streamdeck_test;

// A JPEG's start and end markers around `size - 4` varied bytes.
bytes jpeg_of_size(std::size_t size) {
  bytes b(size);
  for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<std::uint8_t>(i * 7 + 3);
  b[0] = b[size - 2] = 0xFF;
  b[1] = 0xD8;
  b[size - 1] = 0xD9;
  return b;
}

// A `width` x `height` BMP (height < 0: stored top-down) whose pixel at row
// y from the top, column x has blue x, green y and red 0x55.
bytes test_bmp(int width, int height, int bits) {
  const int rows = std::abs(height), pixel = bits / 8;
  bytes b = hex("42 4d", 54 + static_cast<std::size_t>(width * rows * pixel));
  const std::pair<std::size_t, int> fields[] = {
      {2, static_cast<int>(b.size())}, {10, 54}, {14, 40}, {18, width}, {22, height}};
  for (const auto& [at, v] : fields) {
    for (std::size_t i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
  }
  b[26] = 1;
  b[28] = static_cast<std::uint8_t>(bits);
  for (int s = 0; s < rows; ++s) {
    for (int x = 0; x < width; ++x) {
      std::uint8_t* p = &b[54 + static_cast<std::size_t>((s * width + x) * pixel)];
      p[0] = static_cast<std::uint8_t>(x);
      p[1] = static_cast<std::uint8_t>(height > 0 ? rows - 1 - s : s);
      p[2] = 0x55;
    }
  }
  return b;
}

TEST_F(streamdeck_key_images, MainAndMiniCutImagesIntoPagesWithExactHeaders) {
  attach(0x0080, "/dev/hidraw0", L"MK2");
  const bytes exact = jpeg_of_size(1016), longer = jpeg_of_size(1017);
  ASSERT_TRUE(adapter_->set_key_image("MK2", 4, exact));
  auto reports = fake_hid::take_reports("/dev/hidraw0");
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(part(reports[0].bytes, 0, 8), hex("02 07 04 01 f8 03 00 00"));
  ASSERT_TRUE(adapter_->set_key_image("MK2", 14, longer));
  reports = fake_hid::take_reports("/dev/hidraw0");
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(part(reports[0].bytes, 0, 8), hex("02 07 0e 00 f8 03 00 00"));
  EXPECT_EQ(reports[1].bytes, hex("02 07 0e 01 01 00 01 00 d9", 1024)) << "last page, zero fill";
  EXPECT_EQ(key_images(reports).at(14), longer);

  attach(0x0063, "/dev/hidraw1", L"MINI");
  const bytes bmp = test_bmp(80, 80, 24);
  ASSERT_TRUE(adapter_->set_key_image("MINI", 3, bmp));
  reports = fake_hid::take_reports("/dev/hidraw1");
  ASSERT_EQ(reports.size(), 20u);
  EXPECT_EQ(part(reports[0].bytes, 0, 16), hex("02 01 00 00 00 04", 16));
  EXPECT_EQ(part(reports[19].bytes, 0, 16), hex("02 01 13 00 01 04", 16));
  EXPECT_EQ(key_images(reports).at(3), bmp) << "sent as handed in";

  // An image in the other family's format is refused with a line, not sent.
  EXPECT_FALSE(adapter_->set_key_image("MINI", 0, exact));
  EXPECT_EQ(problems_,
            lines{"[streamdeck] rejected malformed bmp image serial=MINI key=0 bytes=1016"});
  EXPECT_TRUE(fake_hid::reports("/dev/hidraw1").empty());
}

TEST_F(streamdeck_key_images, LegacyImagesAreTurnedAndSentAsTwoReports) {
  attach(0x0060, "/dev/hidraw0", L"OLD");
  // Keys 5 and 9 are device keys 10 and 6; bottom-up 24 bits, top-down 32.
  for (const auto& [key, device_key, bits, height] :
       {std::tuple{5, "0a", 24, 72}, std::tuple{9, "06", 32, -72}}) {
    SCOPED_TRACE("key " + std::to_string(key));
    ASSERT_TRUE(adapter_->set_key_image("OLD", key, test_bmp(72, height, bits)));
    const auto reports = fake_hid::take_reports("/dev/hidraw0");
    ASSERT_EQ(reports.size(), 2u);
    ASSERT_EQ(reports[1].bytes.size(), 8191u);
    EXPECT_EQ(part(reports[0].bytes, 0, 16), hex(std::string("02 01 01 00 00 ") + device_key, 16));
    EXPECT_EQ(part(reports[1].bytes, 0, 16), hex(std::string("02 01 02 00 01 ") + device_key, 16));
    // A 72 x 72 24-bit BMP in two halves of 7803 bytes: its header, then
    // the picture's rows from the top, each from its rightmost pixel.
    bytes converted = part(reports[0].bytes, 16, 7803);
    const bytes second = part(reports[1].bytes, 16, 7803);
    converted.insert(converted.end(), second.begin(), second.end());
    EXPECT_EQ(part(converted, 0, 54),
              hex("42 4d f6 3c 00 00 00 00 00 00 36 00 00 00 28 00 00 00 48 00 00 00 48 00 00 "
                  "00 01 00 18 00 00 00 00 00 c0 3c 00 00 c4 0e 00 00 c4 0e",
                  54));
    for (std::size_t y = 0; y < 72; ++y) {
      for (std::size_t x = 0; x < 72; ++x) {
        ASSERT_EQ(part(converted, 54 + (y * 72 + x) * 3, 3),
                  (bytes{static_cast<std::uint8_t>(71 - x), static_cast<std::uint8_t>(y), 0x55}))
            << "row " << y << " pixel " << x;
      }
    }
  }
}

// The legacy family clears by sending its black picture through the image path above.
TEST_F(streamdeck_key_images, ClearingPaintsMainAndMiniKeysBlack) {
  attach(0x0080, "/dev/hidraw0", L"MK2");
  attach(0x0063, "/dev/hidraw1", L"MINI");
  ASSERT_TRUE(adapter_->clear_key("MK2", 7));
  auto reports = fake_hid::take_reports("/dev/hidraw0");
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].kind, fake_report::feature);
  EXPECT_EQ(reports[0].bytes, hex("03 06 07", 32));

  ASSERT_TRUE(adapter_->clear_key("MINI", 5));
  EXPECT_EQ(key_images(fake_hid::take_reports("/dev/hidraw1")).at(5),
            hex("42 4d 36 4b 00 00 00 00 00 00 36 00 00 00 28 00 00 00 50 00 00 00 50 00 00 00 "
                "01 00 18 00 00 00 00 00 00 4b",
                19254));
}

}  // namespace
}  // namespace tolvarine::operator_control::testing
