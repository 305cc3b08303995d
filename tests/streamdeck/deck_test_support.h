// Shared pieces of the Stream Deck tests: the production adapter on the fake
// HID bus with its lines and key presses recorded, and helpers that write
// and take apart reports.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "streamdeck/hid_streamdeck_adapter.h"
#include "virtual-decks/fake_hidapi.h"

namespace tolvarine::operator_control::testing {

using bytes = std::vector<std::uint8_t>;
using lines = std::vector<std::string>;

// Bytes from hex digits, blanks between bytes: hex("02 07 0e"); zero-filled
// up to `size`.
inline bytes hex(const std::string& text, std::size_t size = 0) {
  std::istringstream in(text);
  bytes out;
  for (unsigned b; in >> std::hex >> b;) out.push_back(static_cast<std::uint8_t>(b));
  out.resize(std::max(size, out.size()), 0);
  return out;
}
inline bytes part(const bytes& b, std::size_t from, std::size_t n) {
  return bytes(b.begin() + static_cast<long>(from), b.begin() + static_cast<long>(from + n));
}

class streamdeck_test : public ::testing::Test {
 protected:
  // Key presses become "SERIAL:KEYv" (down) and "SERIAL:KEY^" (up).
  streamdeck_test() {
    fake_hid::reset();
    adapter_->on_key([this](const std::string& serial, int key, bool down) {
      keys_.push_back(serial + ":" + std::to_string(key) + (down ? "v" : "^"));
    });
  }
  ~streamdeck_test() override {
    adapter_.reset();
    fake_hid::reset();
  }

  static void plug(std::uint16_t pid, const std::string& path, const std::wstring& serial) {
    fake_hid::plug({path, pid, 0x0FD9, serial, L"", L"", false});
  }
  // Attaches one deck and forgets its line and its splash.
  void attach(std::uint16_t pid, const std::string& path, const std::wstring& serial) {
    plug(pid, path, serial);
    adapter_->scan_once();
    ASSERT_EQ(std::exchange(info_, {}).size(), 1u) << "deck at " << path << " not attached";
    fake_hid::take_reports(path);
  }
  static lines take(lines& from) { return std::exchange(from, {}); }

  // Written by the adapter's thread only while the test does not read them.
  lines info_, problems_, keys_;
  std::unique_ptr<hid_streamdeck_adapter> adapter_ =
      std::make_unique<hid_streamdeck_adapter>(hid_streamdeck_adapter::options{
          steady_now, [this](const std::string& l) { info_.push_back(l); },
          [this](const std::string& l) { problems_.push_back(l); }});
};

// Image bytes per key, rebuilt from the image reports of the main family
// (8-byte header, key in byte 2, length in bytes 4-5) and of the Mini
// (16-byte header, key + 1 in byte 5, 1008 bytes a page; every Mini image
// here is an 80 x 80 24-bit BMP of 19254 bytes).
inline std::map<int, bytes> key_images(const std::vector<fake_report>& reports) {
  std::map<int, bytes> out;
  for (const fake_report& r : reports) {
    if (r.kind != fake_report::output || r.bytes.size() != 1024) continue;
    const bool main = r.bytes[1] == 0x07;
    bytes& image = out[main ? r.bytes[2] : r.bytes[5] - 1];
    const std::size_t n = main ? (r.bytes[4] | r.bytes[5] << 8)
                               : std::min<std::size_t>(1008, 19254 - image.size());
    image.insert(image.end(), r.bytes.begin() + (main ? 8 : 16),
                 r.bytes.begin() + (main ? 8 : 16) + static_cast<long>(n));
  }
  return out;
}

}  // namespace tolvarine::operator_control::testing
