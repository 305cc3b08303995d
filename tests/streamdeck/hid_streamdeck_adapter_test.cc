#include "streamdeck/hid_streamdeck_adapter.h"

#include <gtest/gtest.h>

#include <chrono>

#include "deck_test_support.h"
#include "support/test_env.h"

namespace tolvarine::operator_control::testing {
namespace {

using streamdeck_adapter = streamdeck_test;
using namespace std::chrono_literals;

TEST_F(streamdeck_adapter, AttachesEachFamilyWithItsDeckInfoAndPaintsItsSplash) {
  // One model of each family; the serial asked of the device when the
  // listing has none, wide strings narrowed to ASCII.
  fake_hid::plug({"/dev/hidraw4", 0x0080, 0x0FD9, L"", L"D\u00e9V", L"Deck \u2713", false});
  const std::vector<deck_info> expected = {
      {"D?V", "128", "Deck ?", "/dev/hidraw4", 15, 72, 72, "jpeg", 180},
      {"S0", "96", "Stream Deck Original", "/dev/hidraw0", 15, 72, 72, "bmp", 0},
      {"S1", "108", "Stream Deck XL", "/dev/hidraw1", 32, 96, 96, "jpeg", 180},
      {"S2", "99", "Stream Deck Mini", "/dev/hidraw2", 6, 80, 80, "bmp", 90}};
  for (const deck_info& d : std::vector(expected.begin() + 1, expected.end())) {
    plug(static_cast<std::uint16_t>(std::stoi(d.product_id)), d.path,
         std::wstring(d.serial.begin(), d.serial.end()));
  }
  adapter_->scan_once();
  EXPECT_EQ(adapter_->decks(), expected);
  EXPECT_EQ(fake_hid::take_reports("/dev/hidraw0").size(), 30u);  // two reports a key
  EXPECT_EQ(key_images(fake_hid::take_reports("/dev/hidraw1")).size(), 32u);  // every key
}

TEST_F(streamdeck_adapter, DetachesGoneOrDeadDecksAndReattachesThemWithTheSplash) {
  const steady_time now = steady_time{} + 1h;
  const std::string path = "/dev/hidraw0";
  attach(0x0063, path, L"MINI");
  const auto reattached = [&](const char* why) {
    EXPECT_EQ(fake_hid::open_handles(), 0) << why;
    fake_hid::take_reports(path);
    adapter_->scan_once();
    EXPECT_EQ(take(info_), (lines{"[streamdeck] detached serial=MINI",
                                  "[streamdeck] attached Stream Deck Mini serial=MINI pid=99"}))
        << why;
    EXPECT_EQ(key_images(fake_hid::take_reports(path)).size(), 6u) << why;
  };
  adapter_->run_once(now);  // scans, and again two seconds later
  fake_hid::unplug(path);
  adapter_->run_once(now + 2000ms);
  fake_hid::replug(path);
  reattached("unplugged");

  fake_hid::kill_handles(path);  // the deck slept and woke under the same path
  adapter_->read_keys_once();
  reattached("read error");

  fake_hid::fail_write_after(path, 3);
  EXPECT_FALSE(adapter_->clear_key("MINI", 2));
  reattached("write error");
}

TEST_F(streamdeck_adapter, RetriesADeckItCouldNotOpenAndRefusesASecondSerial) {
  plug(0x0080, "/dev/hidraw2", L"MK2");
  fake_hid::set_open_fails("/dev/hidraw2", true);
  adapter_->scan_once();
  fake_hid::set_open_fails("/dev/hidraw2", false);
  plug(0x0080, "/dev/hidraw3", L"MK2");
  adapter_->scan_once();
  ASSERT_EQ(adapter_->decks().size(), 1u);
  EXPECT_EQ(adapter_->decks()[0].path, "/dev/hidraw2") << "retried at the next scan";
  EXPECT_EQ(fake_hid::open_handles(), 1) << "the second serial's handle is closed";
}

TEST_F(streamdeck_adapter, KeyReportsBecomeCallbacksInKeyOrder) {
  attach(0x0060, "/dev/hidraw0", L"OLD");
  attach(0x0063, "/dev/hidraw1", L"MINI");
  attach(0x0080, "/dev/hidraw2", L"MK2");
  const std::string legacy = "01 01 00 00 00 01 00 00 00 00 01 01 00 00 00 00 00";
  const std::string main = "01 00 00 00 00 00 00 01 00 00 00 00 00 00 00 00 00 00 01";
  const std::string dial = "01 03 00 00 01 00 00 00 00 00 00 00 00 00 00 00 00 00 00";
  const std::tuple<const char*, std::string, lines> rows[] = {
      // Legacy device keys 5, 1, 10, 11 are keys 0, 4, 5, 14 (right to left).
      {"/dev/hidraw0", legacy, {"OLD:0v", "OLD:4v", "OLD:5v", "OLD:14v"}},
      {"/dev/hidraw0", legacy.substr(0, 44), {}},  // short
      {"/dev/hidraw0", "00" + legacy.substr(2), {}},  // report id 0
      {"/dev/hidraw0", "01 00" + legacy.substr(5), {"OLD:4^"}},
      {"/dev/hidraw1", "01 00 01 00 00 00 01", {"MINI:1v", "MINI:5v"}},
      {"/dev/hidraw1", "01 00 00 00 00 00", {}},  // one byte short
      {"/dev/hidraw1", "01 00 00 00 00 00 01 ee", {"MINI:1^"}},
      {"/dev/hidraw2", dial, {}},
      {"/dev/hidraw2", main.substr(0, 53), {}},
      {"/dev/hidraw2", main, {"MK2:3v", "MK2:14v"}}};
  for (const auto& [path, report, expected] : rows) {
    fake_hid::queue_input(path, hex(report));
    adapter_->read_keys_once();
    EXPECT_EQ(take(keys_), expected) << path << " " << report;
  }
  // A burst of dial reports does not hide a release behind it.
  for (int i = 0; i < 40; ++i) fake_hid::queue_input("/dev/hidraw2", hex(dial));
  fake_hid::queue_input("/dev/hidraw2", hex("01", 19));
  adapter_->read_keys_once();
  EXPECT_EQ(take(keys_), (lines{"MK2:3^", "MK2:14^"}));
}

TEST_F(streamdeck_adapter, StartsOnceAndStopResetsEachFamily) {
  const std::string paths[] = {"/dev/hidraw0", "/dev/hidraw1"};
  plug(0x0063, paths[0], L"MINI");  // the legacy family resets the same way
  plug(0x006C, paths[1], L"XL");
  ASSERT_TRUE(adapter_->start());
  ASSERT_TRUE(adapter_->start());
  EXPECT_EQ(fake_hid::init_calls(), 1) << "a second start starts nothing";
  ASSERT_TRUE(eventually([&] { return adapter_->decks().size() == 2; }, 10s));
  adapter_->stop();  // after the splash the thread is painting
  const bytes resets[] = {hex("0b 63", 17), hex("03 02", 32)};
  for (std::size_t i = 0; i < 2; ++i) {
    const auto reports = fake_hid::take_reports(paths[i]);
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back().kind, fake_report::feature);
    EXPECT_EQ(reports.back().bytes, resets[i]) << paths[i];
  }
  EXPECT_EQ(fake_hid::open_handles(), 0);
  EXPECT_EQ(fake_hid::exit_calls(), 1);
}

}  // namespace
}  // namespace tolvarine::operator_control::testing
