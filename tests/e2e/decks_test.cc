// The built agent with two virtual Stream Decks and a paired Main and
// Backup: registration as keep-alive, painting only the display authority,
// keys to both servers with the failure lines, page hand-over on failover,
// unplug and replug, no active UI, detach on a clean stop.
#include <gtest/gtest.h>

#include <thread>

#include "e2e/deck_rig.h"

namespace tolvarine::operator_control {
namespace {

using namespace std::chrono_literals;
using testing::deck_rig;
using testing::eventually;
using testing::sim_pair;

constexpr const char* kMain = sim_pair::kMainAddress;
constexpr const char* kBackup = sim_pair::kBackupAddress;
constexpr const char* kBothDecks = "0x006C XL0001 Virtual XL\n0x0063 MINI01\n";

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// The JPEG comment the simulator puts into key K of page P ("\xff" is the
// next marker, so "key=3" does not match key 31).
std::string key_mark(const std::string& server, int page, int key) {
  return server + " page=" + std::to_string(page) + " key=" + std::to_string(key) + "\xff";
}

std::string key_body(int key, bool down) {
  // As /sim/state lists them: JSON bodies inside JSON strings.
  return "\\\"Serial\\\":\\\"XL0001\\\",\\\"Index\\\":" + std::to_string(key) +
         ",\\\"IsDown\\\":" + (down ? "true" : "false");
}

TEST(DecksE2E, DecksFollowTheActiveServerAndKeysReachThePair) {
  if (!testing::in_test_network()) GTEST_FAIL() << testing::kNeedsTestNetwork;
  deck_rig rig;
  ASSERT_TRUE(rig.ready());
  rig.set_decks(kBothDecks);
  rig.start_agent();
  auto out_has = [&](const std::string& line) {
    return eventually([&] { return rig.out().find(line + "\n") != std::string::npos; }, 15s);
  };
  auto err_has = [&](const std::string& text) {
    return eventually([&] { return count(rig.err(), text) == 1; }, 5s);
  };
  // Key K of page P from `server` painted on the XL after byte `from`.
  auto painted = [&](const std::string& server, int page, int key, size_t from = 0) {
    const std::string mark = key_mark(server, page, key);
    return eventually([&] { return rig.reports("XL0001").find(mark, from) != std::string::npos; },
                      10s);
  };
  // The key event reached both servers (`times` times so far).
  auto both_got = [&](int key, bool down, size_t times = 1) {
    return eventually(
        [&] {
          return count(deck_rig::sim_state(kMain), key_body(key, down)) == times &&
                 count(deck_rig::sim_state(kBackup), key_body(key, down)) == times;
        },
        5s);
  };

  // Registration with both servers, repeated as keep-alive; Main's page 1
  // painted on every key of the XL, nothing of the Backup's.
  ASSERT_TRUE(out_has("[streamdeck] registered 2 deck(s) with S-MAIN")) << rig.out() << rig.err();
  ASSERT_TRUE(out_has("[streamdeck] registered 2 deck(s) with S-BACK"));
  EXPECT_EQ(count(rig.out(), "[streamdeck] display authority=S-MAIN\n"), 1u);
  ASSERT_TRUE(painted("S-MAIN", 1, 31));
  for (int k = 0; k < 32; ++k) EXPECT_TRUE(painted("S-MAIN", 1, k)) << k;
  EXPECT_EQ(rig.reports("XL0001").find("S-BACK"), std::string::npos);
  EXPECT_NE(rig.admin_status().find("\"streamDeckCount\":2"), std::string::npos);
  EXPECT_TRUE(eventually(
      [&] { return count(deck_rig::sim_state(kBackup), "\\\"MachineName\\\"") >= 3; }, 10s));

  // A key goes to both servers; one refusing: its failure line only; both
  // refusing: the "not accepted" line too.
  rig.key("XL0001", 0, true);
  rig.key("XL0001", 0, false);
  EXPECT_TRUE(both_got(0, false));
  ASSERT_TRUE(sim_pair::set(kMain, "deck_key_status=500"));
  rig.key("XL0001", 1, true);
  ASSERT_TRUE(err_has("delivery failed server=S-MAIN deck=XL0001 key=1 down=true\n")) << rig.err();
  ASSERT_TRUE(sim_pair::set(kBackup, "deck_key_status=500"));
  rig.key("XL0001", 2, true);
  const std::string tail = " deck=XL0001 key=2 down=true\n";
  ASSERT_TRUE(err_has("[streamdeck] key event was not accepted by any Tolvarine server" + tail));
  EXPECT_EQ(count(rig.err(), "[streamdeck] key event delivery failed server=S-MAIN" + tail), 1u);
  EXPECT_EQ(count(rig.err(), "[streamdeck] key event delivery failed server=S-BACK" + tail), 1u);
  EXPECT_EQ(count(rig.err(), "not accepted by any Tolvarine server deck=XL0001 key=1"), 0u);
  ASSERT_TRUE(sim_pair::set(kMain, "deck_key_status=200") &&
              sim_pair::set(kBackup, "deck_key_status=200"));

  // The last key turns the page on both servers; Main's page 2 is painted.
  rig.key("XL0001", 31, true);
  rig.key("XL0001", 31, false);
  ASSERT_TRUE(painted("S-MAIN", 2, 0));

  // Failover: the Backup gets the pages with set_page, is asked from 0 and
  // painted; nothing of it before.
  const size_t before = rig.reports("XL0001").size();
  ASSERT_TRUE(sim_pair::set(kMain, "engine=stopped"));
  ASSERT_TRUE(out_has("[streamdeck] display authority=S-BACK"));
  EXPECT_NE(deck_rig::sim_state(kBackup).find("\\\"Serial\\\":\\\"XL0001\\\",\\\"Page\\\":2}"),
            std::string::npos);
  ASSERT_TRUE(painted("S-BACK", 2, 31, before));
  EXPECT_EQ(rig.reports("XL0001").find("S-BACK"), rig.reports("XL0001").find("S-BACK", before));

  // Unplugged with a key held: the key-up reaches both servers; all decks
  // gone: zero decks registered, so the Backup forgets the deck's page;
  // replugged: painted again with the page the Backup now gives (1). The
  // cached page 2 may show first, until the next registration.
  rig.key("XL0001", 5, true);
  ASSERT_TRUE(both_got(5, true));
  rig.set_decks("");
  ASSERT_TRUE(out_has("[streamdeck] detached serial=XL0001"));
  EXPECT_TRUE(both_got(5, false));
  ASSERT_TRUE(out_has("[streamdeck] registered 0 deck(s) with S-BACK"));
  const size_t unplugged = rig.reports("XL0001").size();
  rig.set_decks(kBothDecks);
  ASSERT_TRUE(painted("S-BACK", 1, 31, unplugged));

  // No active UI (the Backup is held and goes silent): "none" once, no
  // paint, keys dropped without a line.
  ASSERT_TRUE(sim_pair::set(kBackup, "http=refuse"));
  ASSERT_TRUE(out_has("[streamdeck] display authority=none"));
  const size_t silent = rig.reports("XL0001").size();
  const size_t errors = rig.err().size();
  rig.key("XL0001", 7, true);
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(count(deck_rig::sim_state(kMain), key_body(7, true)), 0u);
  EXPECT_EQ(rig.err().substr(errors).find("[streamdeck]"), std::string::npos)
      << rig.err().substr(errors);
  EXPECT_EQ(rig.reports("XL0001").find("S-", silent), std::string::npos);
  EXPECT_EQ(count(rig.out(), "[streamdeck] display authority=none\n"), 1u);

  // A clean stop withdraws the session from the UI-ready Main.
  EXPECT_EQ(rig.stop_agent(), 0);
  EXPECT_NE(deck_rig::sim_state(kMain).find("\"detaches\":1"), std::string::npos);
}

}  // namespace
}  // namespace tolvarine::operator_control
