#include "streamdeck/key_image_writer.h"

#include <gtest/gtest.h>

#include "deck_test_support.h"
#include "streamdeck/bmp_images.h"

namespace tolvarine::operator_control::testing {
namespace {

using streamdeck_key_images = streamdeck_test;

bytes jpeg_of_size(std::size_t size) {
  bytes b(size);
  for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<std::uint8_t>(i * 7 + 3);
  b[0] = b[size - 2] = 0xFF;
  b[1] = 0xD8;
  b[size - 1] = 0xD9;
  return b;
}

// A BMP (height < 0: top-down) whose pixel at picture row `row` from the
// top, column `col` is blue = col, green = row, red = 0x55 (then 0xAA).
bytes test_bmp(int width, int height, int bits, std::size_t offset = 54) {
  const int rows = std::abs(height);
  const std::size_t pixel = static_cast<std::size_t>(bits / 8);
  bytes b(offset + static_cast<std::size_t>(width * rows) * pixel, 0);
  const auto put32 = [&](std::size_t at, std::uint32_t v) {
    for (std::size_t i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
  };
  b[0] = 'B';
  b[1] = 'M';
  put32(2, static_cast<std::uint32_t>(b.size()));
  put32(10, static_cast<std::uint32_t>(offset));
  put32(14, 40);
  put32(18, static_cast<std::uint32_t>(width));
  put32(22, static_cast<std::uint32_t>(height));
  b[26] = 1;
  b[28] = static_cast<std::uint8_t>(bits);
  for (int s = 0; s < rows; ++s) {
    for (int c = 0; c < width; ++c) {
      std::uint8_t* p = &b[offset + static_cast<std::size_t>(s * width + c) * pixel];
      p[0] = static_cast<std::uint8_t>(c);
      p[1] = static_cast<std::uint8_t>(height > 0 ? rows - 1 - s : s);
      if (pixel >= 3) p[2] = 0x55;
      if (pixel == 4) p[3] = 0xAA;
    }
  }
  return b;
}

bytes head(const bytes& b, std::size_t from, std::size_t n) {
  return bytes(b.begin() + static_cast<long>(from), b.begin() + static_cast<long>(from + n));
}

TEST_F(streamdeck_key_images, MainFamilyCutsJpegInto1016BytePages) {
  attach(0x0080, "/dev/hidraw0", L"MK2");
  const bytes exact = jpeg_of_size(1016);
  ASSERT_TRUE(adapter_->set_key_image("MK2", 4, exact));
  auto reports = fake_hid::take_reports("/dev/hidraw0");
  ASSERT_EQ(reports.size(), 1u);
  ASSERT_EQ(reports[0].bytes.size(), 1024u);
  EXPECT_EQ(head(reports[0].bytes, 0, 8), (bytes{0x02, 0x07, 4, 1, 0xF8, 0x03, 0, 0}));
  EXPECT_EQ(head(reports[0].bytes, 8, 1016), exact);

  const bytes longer = jpeg_of_size(1017);
  ASSERT_TRUE(adapter_->set_key_image("MK2", 14, longer));
  reports = fake_hid::take_reports("/dev/hidraw0");
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(head(reports[0].bytes, 0, 8), (bytes{0x02, 0x07, 14, 0, 0xF8, 0x03, 0, 0}));
  ASSERT_EQ(reports[1].bytes.size(), 1024u);
  EXPECT_EQ(reports[1].bytes,
            bytes_with(1024, {{0, 2}, {1, 7}, {2, 14}, {3, 1}, {4, 1}, {6, 1}, {8, 0xD9}}))
      << "last page header, one byte, zero fill";
  EXPECT_EQ(main_images(reports).at(14), longer);
}

TEST_F(streamdeck_key_images, MiniSendsItsBmpIn1008BytePages) {
  attach(0x0063, "/dev/hidraw0", L"MINI");
  const bytes bmp = test_bmp(80, 80, 24);
  ASSERT_TRUE(adapter_->set_key_image("MINI", 3, bmp));
  const auto reports = fake_hid::take_reports("/dev/hidraw0");
  ASSERT_EQ(reports.size(), 20u);
  for (std::size_t page = 0; page < reports.size(); ++page) {
    ASSERT_EQ(reports[page].bytes.size(), 1024u);
    const auto last = static_cast<std::uint8_t>(page == 19);
    EXPECT_EQ(
        head(reports[page].bytes, 0, 16),
        bytes_with(16, {{0, 2}, {1, 1}, {2, static_cast<std::uint8_t>(page)}, {4, last}, {5, 4}}))
        << "page " << page;
  }
  EXPECT_EQ(mini_images(reports).at(3), bmp) << "sent as handed in";
  const std::size_t tail = 16 + 19254 - 19 * 1008;
  EXPECT_EQ(head(reports[19].bytes, tail, 1024 - tail), bytes(1024 - tail, 0));
}

TEST_F(streamdeck_key_images, LegacyImagesAreTurnedAndSentAsTwoReports) {
  attach(0x0060, "/dev/hidraw0", L"OLD");
  struct row {
    int key, device_key, bits, height;
  };
  for (const row& r : {row{5, 10, 24, 72}, row{9, 6, 32, -72}, row{14, 11, 32, 72}}) {
    SCOPED_TRACE("key " + std::to_string(r.key) + ", " + std::to_string(r.bits) + " bits");
    ASSERT_TRUE(adapter_->set_key_image("OLD", r.key, test_bmp(72, r.height, r.bits)));
    const auto reports = fake_hid::take_reports("/dev/hidraw0");
    ASSERT_EQ(reports.size(), 2u);
    bytes converted;
    for (std::uint8_t part = 1; part <= 2; ++part) {
      const bytes& rep = reports[part - 1u].bytes;
      ASSERT_EQ(rep.size(), 8191u);
      const std::size_t n = part == 1 ? 7803 : 15606 - 7803;
      EXPECT_EQ(head(rep, 0, 16), bytes_with(16, {{0, 2},
                                                  {1, 1},
                                                  {2, part},
                                                  {4, static_cast<std::uint8_t>(part - 1)},
                                                  {5, static_cast<std::uint8_t>(r.device_key)}}));
      EXPECT_EQ(head(rep, 16 + n, 8191 - 16 - n), bytes(8191 - 16 - n, 0));
      converted.insert(converted.end(), rep.begin() + 16, rep.begin() + 16 + static_cast<long>(n));
    }
    // The fixed header, then the picture's rows from the top, each from its
    // rightmost pixel: bottom-up storage shows it turned by 180 degrees.
    EXPECT_EQ(head(converted, 0, 54), head(legacy_black_image(), 0, 54));
    for (std::size_t out_row = 0; out_row < 72; ++out_row) {
      for (std::size_t i = 0; i < 72; ++i) {
        ASSERT_EQ(
            head(converted, 54 + (out_row * 72 + i) * 3, 3),
            (bytes{static_cast<std::uint8_t>(71 - i), static_cast<std::uint8_t>(out_row), 0x55}))
            << "output row " << out_row << " pixel " << i;
      }
    }
  }
}

TEST_F(streamdeck_key_images, LegacyConversionRefusesOtherShapesSilently) {
  attach(0x0060, "/dev/hidraw0", L"OLD");
  bytes compressed = test_bmp(72, 72, 24);
  compressed[30] = 1;
  bytes truncated = test_bmp(72, 72, 24);
  truncated.pop_back();
  const std::pair<bytes, bool> rows[] = {
      {test_bmp(73, 72, 24), false},
      {test_bmp(72, 71, 24), false},
      {test_bmp(72, 72, 16), false},
      {compressed, false},
      {truncated, false},
      {test_bmp(72, 72, 24, 60), true},  // pixels after a gap: the offset is honoured
  };
  for (const auto& [image, accepted] : rows) {
    EXPECT_EQ(adapter_->set_key_image("OLD", 1, image), accepted) << image.size();
    EXPECT_EQ(fake_hid::take_reports("/dev/hidraw0").size(), accepted ? 2u : 0u) << image.size();
  }
  EXPECT_TRUE(problems_.lines().empty());

  // A failed first report ends the image.
  fake_hid::fail_write_after("/dev/hidraw0", 0);
  EXPECT_FALSE(adapter_->set_key_image("OLD", 0, test_bmp(72, 72, 24)));
  EXPECT_TRUE(fake_hid::take_reports("/dev/hidraw0").empty());
}

TEST_F(streamdeck_key_images, MalformedAndOutOfRangeImagesAreRefused) {
  attach(0x0080, "/dev/hidraw0", L"MK2");
  attach(0x0063, "/dev/hidraw1", L"MINI");
  const bytes jpeg = jpeg_of_size(300);
  bytes unterminated = jpeg;
  unterminated.back() = 0;
  EXPECT_FALSE(
      adapter_->set_key_image("MK2", 3, {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0}));
  EXPECT_FALSE(adapter_->set_key_image("MK2", 3, unterminated));
  EXPECT_FALSE(adapter_->set_key_image("MINI", 0, jpeg));
  EXPECT_FALSE(adapter_->set_key_image("MINI", 0, head(test_bmp(80, 80, 24), 0, 53)));
  EXPECT_EQ(problems_.take(),
            (std::vector<std::string>{
                "[streamdeck] rejected malformed jpeg image serial=MK2 key=3 bytes=10",
                "[streamdeck] rejected malformed jpeg image serial=MK2 key=3 bytes=300",
                "[streamdeck] rejected malformed bmp image serial=MINI key=0 bytes=300",
                "[streamdeck] rejected malformed bmp image serial=MINI key=0 bytes=53"}));

  // Refused without a message: keys out of range, no image, unknown decks.
  for (const bool done :
       {adapter_->set_key_image("MK2", 15, jpeg), adapter_->set_key_image("MK2", -1, jpeg),
        adapter_->set_key_image("MK2", 0, {}), adapter_->set_key_image("NONE", 0, jpeg),
        adapter_->clear_key("MINI", 6), adapter_->clear_all("NONE"),
        adapter_->show_splash("NONE")}) {
    EXPECT_FALSE(done);
  }
  EXPECT_TRUE(problems_.lines().empty());
  EXPECT_TRUE(fake_hid::reports("/dev/hidraw0").empty());
  EXPECT_TRUE(fake_hid::reports("/dev/hidraw1").empty());
}

TEST_F(streamdeck_key_images, ClearingPaintsBlackInEachFamilysWay) {
  attach(0x0080, "/dev/hidraw0", L"MK2");
  attach(0x0063, "/dev/hidraw1", L"MINI");
  attach(0x0060, "/dev/hidraw2", L"OLD");

  ASSERT_TRUE(adapter_->clear_key("MK2", 7));
  auto reports = fake_hid::take_reports("/dev/hidraw0");
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].kind, fake_report::feature);
  EXPECT_EQ(reports[0].bytes, bytes_with(32, {{0, 0x03}, {1, 0x06}, {2, 7}}));

  ASSERT_TRUE(adapter_->clear_key("MINI", 5));
  const bytes black = mini_black_image();
  ASSERT_EQ(black.size(), 19254u);
  EXPECT_EQ(head(black, 0, 54), bytes_with(54, {{0, 'B'},
                                                {1, 'M'},
                                                {2, 0x36},
                                                {3, 0x4B},
                                                {10, 54},
                                                {14, 40},
                                                {18, 80},
                                                {22, 80},
                                                {26, 1},
                                                {28, 24},
                                                {35, 0x4B}}));
  EXPECT_EQ(mini_images(fake_hid::take_reports("/dev/hidraw1")).at(5), black);

  ASSERT_TRUE(adapter_->clear_key("OLD", 0));
  reports = fake_hid::take_reports("/dev/hidraw2");
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0].bytes[5], 5);
  EXPECT_EQ(head(reports[0].bytes, 16, 54), bytes_with(54, {{0, 'B'},
                                                            {1, 'M'},
                                                            {2, 0xF6},
                                                            {3, 0x3C},
                                                            {10, 54},
                                                            {14, 40},
                                                            {18, 72},
                                                            {22, 72},
                                                            {26, 1},
                                                            {28, 24},
                                                            {34, 0xC0},
                                                            {35, 0x3C},
                                                            {38, 0xC4},
                                                            {39, 0x0E},
                                                            {42, 0xC4},
                                                            {43, 0x0E}}));

  ASSERT_TRUE(adapter_->clear_all("MK2"));
  EXPECT_EQ(fake_hid::take_reports("/dev/hidraw0").size(), 15u);
  ASSERT_TRUE(adapter_->clear_all("MINI"));
  EXPECT_EQ(mini_images(fake_hid::take_reports("/dev/hidraw1")).size(), 6u);
  ASSERT_TRUE(adapter_->clear_all("OLD"));
  EXPECT_EQ(fake_hid::take_reports("/dev/hidraw2").size(), 30u);
  ASSERT_TRUE(adapter_->show_splash("OLD"));
  EXPECT_EQ(fake_hid::take_reports("/dev/hidraw2").size(), 30u);
}

}  // namespace
}  // namespace tolvarine::operator_control::testing
