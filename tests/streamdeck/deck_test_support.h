// Shared pieces of the Stream Deck tests: a recording log, an adapter on the
// fake HID bus, and helpers that build and take reports apart.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/mutex.h"
#include "virtual-decks/fake_hidapi.h"
#include "streamdeck/hid_streamdeck_adapter.h"

namespace tolvarine::operator_control::testing {

using bytes = std::vector<std::uint8_t>;

// `size` zero bytes with the given (index, value) pairs set.
inline bytes bytes_with(std::size_t size,
                        std::initializer_list<std::pair<std::size_t, std::uint8_t>> set) {
  bytes b(size, 0);
  for (const auto& [at, value] : set) b[at] = value;
  return b;
}

// Lines written by the adapter; filled from any thread.
class line_log {
 public:
  void add(const std::string& line) {
    mutex_lock lock(mutex_);
    lines_.push_back(line);
  }
  std::vector<std::string> take() {
    mutex_lock lock(mutex_);
    return std::exchange(lines_, {});
  }
  std::vector<std::string> lines() const {
    mutex_lock lock(mutex_);
    return lines_;
  }
  int count(const std::string& line) const {
    const auto all = lines();
    return static_cast<int>(std::count(all.begin(), all.end(), line));
  }

 private:
  mutable mutex mutex_;
  std::vector<std::string> lines_ GUARDED_BY(mutex_);
};

struct key_event {
  std::string serial;
  int key;
  bool pressed;
  friend bool operator==(const key_event&, const key_event&) = default;
  friend std::ostream& operator<<(std::ostream& os, const key_event& e) {
    return os << e.serial << ":" << e.key << (e.pressed ? " down" : " up");
  }
};

class streamdeck_test : public ::testing::Test {
 protected:
  void SetUp() override {
    fake_hid::reset();
    hid_streamdeck_adapter::options opts;
    opts.clock = [] { return steady_now(); };
    opts.info = [this](const std::string& line) { info_.add(line); };
    opts.problem = [this](const std::string& line) { problems_.add(line); };
    adapter_ = std::make_unique<hid_streamdeck_adapter>(std::move(opts));
  }
  void TearDown() override {
    adapter_.reset();
    fake_hid::reset();
  }

  static fake_device_spec device(std::uint16_t pid, const std::string& path,
                                 const std::wstring& serial = L"",
                                 const std::wstring& product = L"") {
    fake_device_spec d;
    d.path = path;
    d.product_id = pid;
    d.serial = serial;
    d.product = product;
    return d;
  }
  static void plug(std::uint16_t pid, const std::string& path, const std::wstring& serial,
                   const std::wstring& product = L"") {
    fake_hid::plug(device(pid, path, serial, product));
  }

  // Attaches one deck and forgets the splash it was painted with.
  void attach(std::uint16_t pid, const std::string& path, const std::wstring& serial) {
    plug(pid, path, serial);
    adapter_->scan_once();
    ASSERT_EQ(info_.take().size(), 1u) << "deck at " << path << " not attached";
    fake_hid::take_reports(path);
  }

  void record_keys() {
    adapter_->on_key([this](const std::string& serial, int key, bool pressed) {
      mutex_lock lock(keys_mutex_);
      keys_.push_back({serial, key, pressed});
    });
  }
  std::vector<key_event> take_keys() {
    mutex_lock lock(keys_mutex_);
    return std::exchange(keys_, {});
  }

  line_log info_;
  line_log problems_;
  std::unique_ptr<hid_streamdeck_adapter> adapter_;
  mutex keys_mutex_;
  std::vector<key_event> keys_ GUARDED_BY(keys_mutex_);
};

// Image bytes per key, rebuilt from main-family image reports.
inline std::map<int, bytes> main_images(const std::vector<fake_report>& reports) {
  std::map<int, bytes> out;
  for (const fake_report& r : reports) {
    if (r.kind != fake_report::output || r.bytes.size() != 1024 || r.bytes[1] != 0x07) continue;
    auto& image = out[r.bytes[2]];
    image.insert(image.end(), r.bytes.begin() + 8,
                 r.bytes.begin() + 8 + (r.bytes[4] | r.bytes[5] << 8));
  }
  return out;
}

// Image bytes per key (0-based), rebuilt from Mini image reports; a page
// holds 1008 bytes except the last, whose length the image itself gives.
inline std::map<int, bytes> mini_images(const std::vector<fake_report>& reports,
                                        std::size_t image_size = 19254) {
  std::map<int, bytes> out;
  for (const fake_report& r : reports) {
    if (r.kind != fake_report::output || r.bytes.size() != 1024 || r.bytes[1] != 0x01) continue;
    auto& image = out[r.bytes[5] - 1];
    const auto count = static_cast<long>(std::min<std::size_t>(1008, image_size - image.size()));
    image.insert(image.end(), r.bytes.begin() + 16, r.bytes.begin() + 16 + count);
  }
  return out;
}

}  // namespace tolvarine::operator_control::testing
