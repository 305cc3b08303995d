#include "streamdeck/key_image_writer.h"

#include <gtest/gtest.h>

#include <cstring>

#include "deck_test_support.h"
#include "streamdeck/bmp_images.h"

namespace tolvarine::operator_control::testing {
namespace {

using streamdeck_key_images = streamdeck_test;

using bytes = std::vector<std::uint8_t>;

bytes jpeg_of_size(std::size_t size) {
  bytes b(size);
  for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<std::uint8_t>(i * 7 + 3);
  b[0] = 0xFF;
  b[1] = 0xD8;
  b[size - 2] = 0xFF;
  b[size - 1] = 0xD9;
  return b;
}

void put32(bytes& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
}

// A BMP whose pixel at picture row `row` (from the top), column `col` is
// blue = col, green = row, red = 0x55 (and 0xAA in a fourth byte).
bytes test_bmp(int width, int height, int bits, std::size_t offset = 54) {
  const int rows = height < 0 ? -height : height;
  const std::size_t pixel = static_cast<std::size_t>(bits / 8);
  bytes b(offset + static_cast<std::size_t>(width * rows) * pixel, 0);
  b[0] = 'B';
  b[1] = 'M';
  put32(b, 2, static_cast<std::uint32_t>(b.size()));
  put32(b, 10, static_cast<std::uint32_t>(offset));
  put32(b, 14, 40);
  put32(b, 18, static_cast<std::uint32_t>(width));
  put32(b, 22, static_cast<std::uint32_t>(height));
  b[26] = 1;
  b[28] = static_cast<std::uint8_t>(bits);
  for (int s = 0; s < rows; ++s) {
    const int picture_row = height > 0 ? rows - 1 - s : s;
    for (int c = 0; c < width; ++c) {
      std::uint8_t* p = &b[offset + (static_cast<std::size_t>(s * width + c)) * pixel];
      p[0] = static_cast<std::uint8_t>(c);
      p[1] = static_cast<std::uint8_t>(picture_row);
      if (pixel >= 3) p[2] = 0x55;
      if (pixel == 4) p[3] = 0xAA;
    }
  }
  return b;
}

TEST_F(streamdeck_key_images, MainFamilyCutsJpegInto1016BytePages) {
  attach(0x0080, "/dev/hidraw0", L"MK2");
  const bytes exact = jpeg_of_size(1016);
  ASSERT_TRUE(adapter_->set_key_image("MK2", 4, exact));
  auto reports = fake_hid::take_reports("/dev/hidraw0");
  ASSERT_EQ(reports.size(), 1u);
  const bytes& r = reports[0].bytes;
  ASSERT_EQ(r.size(), 1024u);
  EXPECT_EQ(bytes(r.begin(), r.begin() + 8), (bytes{0x02, 0x07, 4, 1, 0xF8, 0x03, 0, 0}));
  EXPECT_EQ(bytes(r.begin() + 8, r.end()), exact);

  const bytes longer = jpeg_of_size(1017);
  ASSERT_TRUE(adapter_->set_key_image("MK2", 14, longer));
  reports = fake_hid::take_reports("/dev/hidraw0");
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(bytes(reports[0].bytes.begin(), reports[0].bytes.begin() + 8),
            (bytes{0x02, 0x07, 14, 0, 0xF8, 0x03, 0, 0}));
  const bytes& second = reports[1].bytes;
  ASSERT_EQ(second.size(), 1024u);
  EXPECT_EQ(bytes(second.begin(), second.begin() + 9),
            (bytes{0x02, 0x07, 14, 1, 1, 0, 1, 0, 0xD9}));
  EXPECT_EQ(std::count(second.begin() + 9, second.end(), 0), 1024 - 9) << "zero filled";
  EXPECT_EQ(main_images(reports).at(14), longer);
}

TEST_F(streamdeck_key_images, MiniSendsItsBmpIn1008BytePages) {
  attach(0x0063, "/dev/hidraw0", L"MINI");
  bytes bmp = test_bmp(80, 80, 24);
  ASSERT_EQ(bmp.size(), 19254u);
  ASSERT_TRUE(adapter_->set_key_image("MINI", 3, bmp));
  const auto reports = fake_hid::take_reports("/dev/hidraw0");
  ASSERT_EQ(reports.size(), 20u);
  for (std::size_t page = 0; page < reports.size(); ++page) {
    const bytes& r = reports[page].bytes;
    ASSERT_EQ(r.size(), 1024u);
    const bool last = page == 19;
    EXPECT_EQ(bytes(r.begin(), r.begin() + 16),
              (bytes{0x02, 0x01, static_cast<std::uint8_t>(page), 0, last ? std::uint8_t{1} : std::uint8_t{0},
                     4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}))
        << "page " << page;
  }
  EXPECT_EQ(mini_images(reports, bmp.size()).at(3), bmp) << "sent as handed in";
  const bytes& last = reports[19].bytes;
  EXPECT_EQ(std::count(last.begin() + 16 + (19254 - 19 * 1008), last.end(), 0),
            1024 - 16 - (19254 - 19 * 1008));
}

TEST_F(streamdeck_key_images, LegacyImagesAreTurnedAndSentAsTwoReports) {
  attach(0x0060, "/dev/hidraw0", L"OLD");
  struct row {
    int key, device_key, bits, height;
  };
  const row rows[] = {{5, 10, 24, 72}, {9, 6, 32, -72}, {0, 5, 24, -72}, {14, 11, 32, 72}};
  for (const row& r : rows) {
    SCOPED_TRACE("key " + std::to_string(r.key) + ", " + std::to_string(r.bits) + " bits");
    ASSERT_TRUE(adapter_->set_key_image("OLD", r.key, test_bmp(72, r.height, r.bits)));
    const auto reports = fake_hid::take_reports("/dev/hidraw0");
    ASSERT_EQ(reports.size(), 2u);
    bytes converted;
    for (std::uint8_t part = 1; part <= 2; ++part) {
      const bytes& rep = reports[part - 1u].bytes;
      ASSERT_EQ(rep.size(), 8191u);
      const std::uint8_t d = static_cast<std::uint8_t>(r.device_key);
      EXPECT_EQ(bytes(rep.begin(), rep.begin() + 16),
                (bytes{0x02, 0x01, part, 0, static_cast<std::uint8_t>(part - 1), d, 0, 0, 0, 0,
                       0, 0, 0, 0, 0, 0}));
      const std::size_t n = part == 1 ? 7803 : 15606 - 7803;
      converted.insert(converted.end(), rep.begin() + 16, rep.begin() + 16 + static_cast<long>(n));
      EXPECT_EQ(std::count(rep.begin() + 16 + static_cast<long>(n), rep.end(), 0),
                static_cast<long>(8191 - 16 - n));
    }
    // The fixed header, then the picture's rows from the top, each from its
    // rightmost pixel: bottom-up storage shows it turned by 180 degrees.
    EXPECT_EQ(bytes(converted.begin(), converted.begin() + 54),
              bytes(legacy_black_image().begin(), legacy_black_image().begin() + 54));
    for (int out_row = 0; out_row < 72; ++out_row) {
      for (int i = 0; i < 72; ++i) {
        const std::size_t at = 54 + static_cast<std::size_t>(out_row * 72 + i) * 3;
        ASSERT_EQ(bytes(converted.begin() + static_cast<long>(at), converted.begin() + static_cast<long>(at) + 3),
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
  bytes gap_after_header = test_bmp(72, 72, 24, 60);  // offset honoured
  struct row {
    const char* what;
    bytes image;
    bool accepted;
  };
  const row rows[] = {
      {"73 pixels wide", test_bmp(73, 72, 24), false},
      {"71 rows", test_bmp(72, 71, 24), false},
      {"16 bits", test_bmp(72, 72, 16), false},
      {"compressed", compressed, false},
      {"one byte short", truncated, false},
      {"pixels after a gap", gap_after_header, true},
  };
  for (const row& r : rows) {
    EXPECT_EQ(adapter_->set_key_image("OLD", 1, r.image), r.accepted) << r.what;
    EXPECT_EQ(fake_hid::take_reports("/dev/hidraw0").size(), r.accepted ? 2u : 0u) << r.what;
  }
  EXPECT_TRUE(problems_.lines().empty());
}

TEST_F(streamdeck_key_images, MalformedAndOutOfRangeImagesAreRefused) {
  attach(0x0080, "/dev/hidraw0", L"MK2");
  attach(0x0063, "/dev/hidraw1", L"MINI");
  const bytes png = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0};
  const bytes jpeg = jpeg_of_size(300);
  const bytes bmp = test_bmp(80, 80, 24);
  bytes unterminated = jpeg;
  unterminated.back() = 0;

  EXPECT_FALSE(adapter_->set_key_image("MK2", 3, png));
  EXPECT_FALSE(adapter_->set_key_image("MK2", 3, unterminated));
  EXPECT_FALSE(adapter_->set_key_image("MINI", 0, jpeg));
  EXPECT_FALSE(adapter_->set_key_image("MINI", 0, bytes(bmp.begin(), bmp.begin() + 53)));
  EXPECT_EQ(problems_.take(),
            (std::vector<std::string>{
                "[streamdeck] rejected malformed jpeg image serial=MK2 key=3 bytes=10",
                "[streamdeck] rejected malformed jpeg image serial=MK2 key=3 bytes=300",
                "[streamdeck] rejected malformed bmp image serial=MINI key=0 bytes=300",
                "[streamdeck] rejected malformed bmp image serial=MINI key=0 bytes=53"}));

  // Refused without a message.
  EXPECT_FALSE(adapter_->set_key_image("MK2", 15, jpeg));
  EXPECT_FALSE(adapter_->set_key_image("MK2", -1, jpeg));
  EXPECT_FALSE(adapter_->set_key_image("MK2", 0, {}));
  EXPECT_FALSE(adapter_->set_key_image("NONE", 0, jpeg));
  EXPECT_FALSE(adapter_->clear_key("MINI", 6));
  EXPECT_FALSE(adapter_->clear_all("NONE"));
  EXPECT_FALSE(adapter_->show_splash("NONE"));
  EXPECT_TRUE(problems_.lines().empty());
  EXPECT_TRUE(fake_hid::reports("/dev/hidraw0").empty());
  EXPECT_TRUE(fake_hid::reports("/dev/hidraw1").empty());
}

TEST_F(streamdeck_key_images, ClearingPaintsBlackInEachFamilysWay) {
  attach(0x0080, "/dev/hidraw0", L"MK2");
  attach(0x0063, "/dev/hidraw1", L"MINI");
  attach(0x0060, "/dev/hidraw2", L"OLD");

  ASSERT_TRUE(adapter_->clear_key("MK2", 7));
  bytes feature(32, 0);
  feature[0] = 0x03;
  feature[1] = 0x06;
  feature[2] = 7;
  auto reports = fake_hid::take_reports("/dev/hidraw0");
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].kind, fake_report::feature);
  EXPECT_EQ(reports[0].bytes, feature);

  ASSERT_TRUE(adapter_->clear_key("MINI", 5));
  const bytes black = mini_black_image();
  ASSERT_EQ(black.size(), 19254u);
  EXPECT_EQ(bytes(black.begin(), black.begin() + 54),
            (bytes{'B', 'M', 0x36, 0x4B, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0, 40, 0, 0, 0,
                   80, 0, 0, 0, 80, 0, 0, 0, 1, 0, 24, 0, 0, 0, 0, 0, 0, 0x4B, 0, 0,
                   0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(mini_images(fake_hid::take_reports("/dev/hidraw1"), 19254).at(5), black);

  ASSERT_TRUE(adapter_->clear_key("OLD", 0));
  reports = fake_hid::take_reports("/dev/hidraw2");
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0].bytes[5], 5);
  EXPECT_EQ(bytes(reports[0].bytes.begin() + 16, reports[0].bytes.begin() + 16 + 54),
            (bytes{'B', 'M', 0xF6, 0x3C, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0, 40, 0, 0, 0,
                   72, 0, 0, 0, 72, 0, 0, 0, 1, 0, 24, 0, 0, 0, 0, 0, 0xC0, 0x3C, 0, 0,
                   0xC4, 0x0E, 0, 0, 0xC4, 0x0E, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));

  ASSERT_TRUE(adapter_->clear_all("MK2"));
  EXPECT_EQ(fake_hid::take_reports("/dev/hidraw0").size(), 15u);
  ASSERT_TRUE(adapter_->clear_all("MINI"));
  EXPECT_EQ(mini_images(fake_hid::take_reports("/dev/hidraw1"), 19254).size(), 6u);
  ASSERT_TRUE(adapter_->clear_all("OLD"));
  EXPECT_EQ(fake_hid::take_reports("/dev/hidraw2").size(), 30u);
  ASSERT_TRUE(adapter_->show_splash("OLD"));
  EXPECT_EQ(fake_hid::take_reports("/dev/hidraw2").size(), 30u);
}

TEST_F(streamdeck_key_images, AFailedLegacyReportEndsTheImage) {
  attach(0x0060, "/dev/hidraw0", L"OLD");
  fake_hid::fail_write_after("/dev/hidraw0", 0);
  EXPECT_FALSE(adapter_->set_key_image("OLD", 0, test_bmp(72, 72, 24)));
  EXPECT_TRUE(fake_hid::take_reports("/dev/hidraw0").empty()) << "second report not sent";
}

}  // namespace
}  // namespace tolvarine::operator_control::testing
