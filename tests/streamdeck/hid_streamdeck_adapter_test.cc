#include "streamdeck/hid_streamdeck_adapter.h"

#include <gtest/gtest.h>

#include <chrono>

#include "deck_test_support.h"
#include "streamdeck/splash_images.h"
#include "streamdeck/streamdeck_adapter.h"
#include "support/test_env.h"

namespace tolvarine::operator_control::testing {
namespace {

using streamdeck_adapter = streamdeck_test;
using namespace std::chrono_literals;

struct model_row {
  std::uint16_t pid;
  const char* name;
  int keys, width, height;
  const char* format;
  int rotation;
};

// The supported models as the server is told about them.
const model_row models[] = {
    {0x0060, "Stream Deck Original", 15, 72, 72, "bmp", 0},
    {0x006D, "Stream Deck 2019", 15, 72, 72, "jpeg", 180},
    {0x0080, "Stream Deck Mk.2", 15, 72, 72, "jpeg", 180},
    {0x00A5, "Stream Deck Mk.2 Scissor", 15, 72, 72, "jpeg", 180},
    {0x00B9, "Stream Deck 15-Key Module", 15, 72, 72, "jpeg", 180},
    {0x006C, "Stream Deck XL", 32, 96, 96, "jpeg", 180},
    {0x008F, "Stream Deck XL 2022", 32, 96, 96, "jpeg", 180},
    {0x00BA, "Stream Deck 32-Key Module", 32, 96, 96, "jpeg", 180},
    {0x0063, "Stream Deck Mini", 6, 80, 80, "bmp", 90},
    {0x0090, "Stream Deck Mini 2022", 6, 80, 80, "bmp", 90},
    {0x00B3, "Stream Deck Mini Discord", 6, 80, 80, "bmp", 90},
    {0x00B8, "Stream Deck 6-Key Module", 6, 80, 80, "bmp", 90},
    {0x0084, "Stream Deck +", 8, 120, 120, "jpeg", 0},
    {0x009A, "Stream Deck Neo", 8, 96, 96, "jpeg", 180},
};

std::string path_of(std::size_t i) { return "/dev/hidraw" + std::to_string(i); }

TEST_F(streamdeck_adapter, AttachesEveryModelWithItsDeckInfoAndPaintsItsSplash) {
  for (std::size_t i = 0; i < std::size(models); ++i)
    plug(models[i].pid, path_of(i), L"S" + std::to_wstring(10 + i));
  adapter_->scan_once();

  const std::vector<deck_info> decks = adapter_->decks();
  ASSERT_EQ(decks.size(), std::size(models));
  for (std::size_t i = 0; i < std::size(models); ++i) {
    const model_row& m = models[i];
    SCOPED_TRACE(m.name);
    const std::string serial = "S" + std::to_string(10 + i);  // listed in serial order
    EXPECT_EQ(decks[i], (deck_info{serial, std::to_string(m.pid), m.name, path_of(i), m.keys,
                                   m.width, m.height, m.format, m.rotation}));
    EXPECT_EQ(info_.count("[streamdeck] attached " + std::string(m.name) + " serial=" + serial +
                          " pid=" + std::to_string(m.pid)),
              1);

    // The splash arrives intact on every key.
    const std::vector<fake_report> reports = fake_hid::take_reports(path_of(i));
    if (m.pid == 0x0060) {
      EXPECT_EQ(reports.size(), 30u);
      continue;
    }
    const auto set = default_splash_images(m.keys, m.width, m.height, m.format, m.rotation);
    const auto images =
        std::string(m.format) == "jpeg" ? main_images(reports) : mini_images(reports);
    ASSERT_EQ(images.size(), static_cast<std::size_t>(m.keys));
    for (std::size_t k = 0; k < set.size(); ++k) {
      EXPECT_EQ(images.at(static_cast<int>(k)), bytes(set[k].data, set[k].data + set[k].size))
          << "key " << k;
    }
  }
  EXPECT_TRUE(problems_.lines().empty());
}

TEST_F(streamdeck_adapter, SerialAndNameFallBackAndAreNarrowed) {
  struct row {
    std::wstring listed_serial, device_serial, product;
    std::string serial, name;
  };
  const row rows[] = {
      {L"AB12", L"ignored", L"My Deck", "AB12", "My Deck"},
      {L"", L"DEV9", L"", "DEV9", "Stream Deck Mk.2"},
      {L"", L"", L"", "path:/dev/hidraw0", "Stream Deck Mk.2"},
      {L"\u00dcn\u00ef", L"", L"Deck \u2713", "?n?", "Deck ?"},
      {L"", L"\u00e9x", L"", "?x", "Stream Deck Mk.2"},
  };
  for (const row& r : rows) {
    fake_hid::reset();
    fake_device_spec d = device(0x0080, "/dev/hidraw0", r.listed_serial, r.product);
    d.device_serial = r.device_serial;
    fake_hid::plug(d);
    adapter_->scan_once();
    const auto decks = adapter_->decks();
    ASSERT_EQ(decks.size(), 1u) << r.serial;
    EXPECT_EQ(decks[0].serial, r.serial);
    EXPECT_EQ(decks[0].name, r.name) << r.serial;
    fake_hid::unplug("/dev/hidraw0");
    adapter_->scan_once();
  }
}

TEST_F(streamdeck_adapter, DetachesWithinOneScanPeriodAndRepaintsSplashOnReplug) {
  const steady_time now = steady_time{} + 1h;
  plug(0x0080, "/dev/hidraw3", L"CL1");
  adapter_->run_once(now);
  ASSERT_EQ(adapter_->decks().size(), 1u);
  fake_hid::take_reports("/dev/hidraw3");

  fake_hid::unplug("/dev/hidraw3");
  adapter_->run_once(now + 1999ms);
  EXPECT_EQ(adapter_->decks().size(), 1u) << "scanned before the period ended";
  adapter_->run_once(now + 2000ms);
  EXPECT_TRUE(adapter_->decks().empty());
  EXPECT_EQ(info_.count("[streamdeck] detached serial=CL1"), 1);
  EXPECT_EQ(fake_hid::open_handles(), 0);

  fake_hid::replug("/dev/hidraw3");
  adapter_->run_once(now + 4000ms);
  ASSERT_EQ(adapter_->decks().size(), 1u);
  EXPECT_EQ(info_.count("[streamdeck] attached Stream Deck Mk.2 serial=CL1 pid=128"), 2);
  EXPECT_EQ(main_images(fake_hid::take_reports("/dev/hidraw3")).size(), 15u);

  // A scan that finds nothing at all detaches every deck.
  fake_hid::reset();
  adapter_->scan_once();
  EXPECT_TRUE(adapter_->decks().empty());
}

TEST_F(streamdeck_adapter, UnsupportedUnopenableAndCollidingDevicesAreReported) {
  plug(0x0070, "/dev/hidraw1", L"P1", L"Pedal");
  plug(0x0080, "/dev/hidraw2", L"MK2");
  fake_hid::set_open_fails("/dev/hidraw2", true);
  fake_device_spec other = device(0x0080, "/dev/hidraw5");
  other.vendor_id = 0x046D;
  fake_hid::plug(other);
  for (int i = 0; i < 3; ++i) adapter_->scan_once();
  EXPECT_EQ(
      problems_.take(),
      (std::vector<std::string>{
          "[streamdeck] unsupported Elgato HID device pid=0x0070 name=Pedal path=/dev/hidraw1",
          "[streamdeck] found Stream Deck Mk.2 pid=0x0080 but could not open it; another "
          "application may own the HID device. path=/dev/hidraw2"}));
  EXPECT_EQ(fake_hid::open_calls("/dev/hidraw2"), 3) << "retried at every scan";
  EXPECT_EQ(fake_hid::open_calls("/dev/hidraw5"), 0) << "another vendor's device";
  EXPECT_TRUE(adapter_->decks().empty());

  // A second deck with an attached serial is refused at every scan.
  fake_hid::set_open_fails("/dev/hidraw2", false);
  plug(0x0080, "/dev/hidraw3", L"MK2");
  adapter_->scan_once();
  adapter_->scan_once();
  ASSERT_EQ(adapter_->decks().size(), 1u);
  EXPECT_EQ(adapter_->decks()[0].path, "/dev/hidraw2");
  EXPECT_EQ(problems_.count("[streamdeck] serial collision: serial=MK2 existingPath=/dev/hidraw2 "
                            "newPath=/dev/hidraw3"),
            2);
  EXPECT_EQ(fake_hid::open_handles(), 1) << "the refused handle is closed";
  EXPECT_TRUE(fake_hid::reports("/dev/hidraw3").empty()) << "no splash on the refused deck";
}

TEST_F(streamdeck_adapter, KeyReportsBecomeCallbacksInKeyOrder) {
  attach(0x0060, "/dev/hidraw0", L"OLD");
  attach(0x0063, "/dev/hidraw1", L"MINI");
  attach(0x0080, "/dev/hidraw2", L"MK2");
  record_keys();

  // Legacy device keys 5, 1, 10, 11 are keys 0, 4, 5, 14 (right to left).
  const bytes legacy = bytes_with(17, {{0, 1}, {5, 1}, {1, 1}, {10, 1}, {11, 1}});
  const bytes main = bytes_with(4 + 15, {{0, 1}, {4 + 3, 1}, {4 + 14, 1}});
  struct row {
    const char* path;
    bytes report;
    std::vector<key_event> expected;
  };
  const row rows[] = {
      {"/dev/hidraw0",
       legacy,
       {{"OLD", 0, true}, {"OLD", 4, true}, {"OLD", 5, true}, {"OLD", 14, true}}},
      {"/dev/hidraw0", bytes(legacy.begin(), legacy.begin() + 15), {}},
      {"/dev/hidraw0", bytes(17, 0), {}},  // report id 0
      {"/dev/hidraw0", bytes_with(17, {{0, 1}, {5, 1}, {10, 1}, {11, 1}}), {{"OLD", 4, false}}},
      {"/dev/hidraw1", {1, 0, 1, 0, 0, 0, 1}, {{"MINI", 1, true}, {"MINI", 5, true}}},
      {"/dev/hidraw1", {1, 0, 1, 0, 0, 0}, {}},  // one byte short
      {"/dev/hidraw1", {1, 0, 0, 0, 0, 0, 1, 0xEE}, {{"MINI", 1, false}}},
      {"/dev/hidraw2", bytes_with(4 + 15, {{0, 1}, {1, 3}, {4, 1}}), {}},  // dial
      {"/dev/hidraw2", bytes_with(4 + 15, {{0, 2}, {4 + 3, 1}}), {}},      // foreign id
      {"/dev/hidraw2", {}, {}},
      {"/dev/hidraw2", bytes(main.begin(), main.end() - 1), {}},
      {"/dev/hidraw2", main, {{"MK2", 3, true}, {"MK2", 14, true}}},
  };
  for (const row& r : rows) {
    fake_hid::queue_input(r.path, r.report);
    adapter_->read_keys_once();
    EXPECT_EQ(take_keys(), r.expected) << r.path << " report of " << r.report.size() << " bytes";
  }
}

TEST_F(streamdeck_adapter, NothingIsReadWhileNoCallbackIsSet) {
  attach(0x0080, "/dev/hidraw0", L"MK2");
  fake_hid::queue_input("/dev/hidraw0", bytes_with(4 + 15, {{0, 1}, {4 + 2, 1}}));
  adapter_->read_keys_once();
  EXPECT_EQ(fake_hid::pending_input("/dev/hidraw0"), 1u);
  record_keys();
  adapter_->read_keys_once();
  EXPECT_EQ(take_keys(), (std::vector<key_event>{{"MK2", 2, true}}));
  adapter_->on_key(nullptr);
  fake_hid::queue_input("/dev/hidraw0", bytes(4 + 15, 0));
  adapter_->read_keys_once();
  EXPECT_EQ(fake_hid::pending_input("/dev/hidraw0"), 1u);
}

TEST_F(streamdeck_adapter, BurstOfDialReportsDoesNotHideAKeyRelease) {
  attach(0x0084, "/dev/hidraw0", L"PLUS");
  record_keys();
  fake_hid::queue_input("/dev/hidraw0", bytes_with(4 + 8, {{0, 1}, {4 + 2, 1}}));
  adapter_->read_keys_once();
  ASSERT_EQ(take_keys(), (std::vector<key_event>{{"PLUS", 2, true}}));

  for (int i = 0; i < 40; ++i)
    fake_hid::queue_input("/dev/hidraw0", bytes_with(14, {{0, 1}, {1, 3}}));
  fake_hid::queue_input("/dev/hidraw0", bytes_with(4 + 8, {{0, 1}}));
  adapter_->read_keys_once();
  EXPECT_EQ(take_keys(), (std::vector<key_event>{{"PLUS", 2, false}}));
  EXPECT_EQ(fake_hid::pending_input("/dev/hidraw0"), 0u);
}

TEST_F(streamdeck_adapter, DeadHandleDetachesAndNextScanReopensWithSplash) {
  attach(0x0063, "/dev/hidraw0", L"MINI");
  record_keys();
  const auto expect_reattached = [&] {
    EXPECT_TRUE(adapter_->decks().empty());
    EXPECT_EQ(info_.take(), (std::vector<std::string>{"[streamdeck] detached serial=MINI"}));
    EXPECT_EQ(fake_hid::open_handles(), 0);
    fake_hid::take_reports("/dev/hidraw0");
    adapter_->scan_once();
    EXPECT_EQ(
        info_.take(),
        (std::vector<std::string>{"[streamdeck] attached Stream Deck Mini serial=MINI pid=99"}));
    EXPECT_EQ(mini_images(fake_hid::take_reports("/dev/hidraw0")).size(), 6u);
  };
  // A read error (the deck slept and woke under the same path).
  fake_hid::kill_handles("/dev/hidraw0");
  adapter_->read_keys_once();
  expect_reattached();

  // A write error on a key image stops at the failed report.
  fake_hid::fail_write_after("/dev/hidraw0", 3);
  EXPECT_FALSE(adapter_->clear_key("MINI", 2));
  EXPECT_EQ(fake_hid::reports("/dev/hidraw0").size(), 3u);
  expect_reattached();
  EXPECT_TRUE(problems_.lines().empty());
}

TEST_F(streamdeck_adapter, StopResetsEachFamilyAndClosesEveryDeck) {
  plug(0x0060, "/dev/hidraw0", L"OLD");
  plug(0x0063, "/dev/hidraw1", L"MINI");
  plug(0x006C, "/dev/hidraw2", L"XL");
  record_keys();
  ASSERT_TRUE(adapter_->start());
  ASSERT_TRUE(adapter_->start());
  EXPECT_EQ(fake_hid::init_calls(), 1) << "a second start starts nothing";
  ASSERT_TRUE(eventually([&] { return info_.lines().size() == 3; }, 10s));

  // Key presses reach the callback on the adapter's thread.
  fake_hid::queue_input("/dev/hidraw2", bytes_with(4 + 32, {{0, 1}, {4 + 31, 1}}));
  ASSERT_TRUE(eventually(
      [&] {
        mutex_lock l(keys_mutex_);
        return !keys_.empty();
      },
      10s));
  EXPECT_EQ(take_keys(), (std::vector<key_event>{{"XL", 31, true}}));

  for (std::size_t i = 0; i < 3; ++i) fake_hid::take_reports(path_of(i));
  adapter_->stop();
  const bytes expected[] = {bytes_with(17, {{0, 0x0B}, {1, 0x63}}),
                            bytes_with(17, {{0, 0x0B}, {1, 0x63}}),
                            bytes_with(32, {{0, 0x03}, {1, 0x02}})};
  for (std::size_t i = 0; i < 3; ++i) {
    const auto reports = fake_hid::take_reports(path_of(i));
    ASSERT_EQ(reports.size(), 1u) << path_of(i);
    EXPECT_EQ(reports[0].kind, fake_report::feature);
    EXPECT_EQ(reports[0].bytes, expected[i]) << path_of(i);
  }
  EXPECT_EQ(fake_hid::open_handles(), 0);
  EXPECT_TRUE(adapter_->decks().empty());
  adapter_->stop();
  EXPECT_EQ(fake_hid::exit_calls(), 1) << "a second stop does nothing";
}

TEST_F(streamdeck_adapter, StartFailsWithoutHid) {
  fake_hid::set_init_result(-1);
  plug(0x0080, "/dev/hidraw0", L"MK2");
  EXPECT_FALSE(adapter_->start());
  adapter_->stop();
  EXPECT_EQ(fake_hid::exit_calls(), 0);
  EXPECT_EQ(fake_hid::open_calls("/dev/hidraw0"), 0);
  EXPECT_NE(make_streamdeck_adapter(), nullptr);
}

}  // namespace
}  // namespace tolvarine::operator_control::testing
