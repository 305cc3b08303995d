// The built agent with two virtual Stream Decks and a paired Main and
// Backup: registration, painting only the display authority,
// keys to both servers, page hand-over on failover, unplug and replug,
// detach on a clean stop. The manager's rules in detail: its unit test.
#include <gtest/gtest.h>

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

std::string sim_state(const char* address) {
  return deck_rig::get(address, sim_pair::kControlPort, "/sim/state");
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
  // Key K of page P from `server` painted on the XL after byte `from` (the
  // simulator puts "SERVER page=P key=K" in each JPEG's comment, then a
  // marker byte 0xff).
  auto painted = [&](const std::string& server, int page, int key, size_t from = 0) {
    const std::string mark = server + " page=" + std::to_string(page) + " key=" + std::to_string(key) + "\xff";
    return eventually([&] { return rig.reports("XL0001").find(mark, from) != std::string::npos; }, 10s);
  };
  // The key event reached both servers.
  auto both_got = [&](int key, bool down) {
    const std::string body = "\\\"Serial\\\":\\\"XL0001\\\",\\\"Index\\\":" + std::to_string(key) +
                             ",\\\"IsDown\\\":" + (down ? "true" : "false");
    return eventually([&] { return count(sim_state(kMain), body) == 1 && count(sim_state(kBackup), body) == 1; }, 5s);
  };

  // Registration with both servers; Main's page 1 painted on every key of
  // the XL; the deck count in the admin status.
  ASSERT_TRUE(out_has("[streamdeck] registered 2 deck(s) with S-MAIN")) << rig.out() << rig.err();
  ASSERT_TRUE(out_has("[streamdeck] registered 2 deck(s) with S-BACK"));
  for (int k = 0; k < 32; ++k) EXPECT_TRUE(painted("S-MAIN", 1, k)) << k;
  EXPECT_NE(deck_rig::get("127.0.0.1", 5251, "/api/status").find("\"streamDeckCount\":2"), std::string::npos);

  // A key goes to both servers; the last key turns the page on both, and
  // Main's page 2 is painted.
  rig.key("XL0001", 0, true);
  EXPECT_TRUE(both_got(0, true));
  rig.key("XL0001", 31, true);
  rig.key("XL0001", 31, false);
  ASSERT_TRUE(painted("S-MAIN", 2, 0));

  // Failover: the Backup gets the pages with set_page and is painted from
  // then on, nothing of it before.
  const size_t before = rig.reports("XL0001").size();
  ASSERT_TRUE(sim_pair::set(kMain, "engine=stopped"));
  ASSERT_TRUE(out_has("[streamdeck] display authority=S-BACK"));
  EXPECT_NE(sim_state(kBackup).find("\\\"Serial\\\":\\\"XL0001\\\",\\\"Page\\\":2}"), std::string::npos);
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

  // A clean stop withdraws the session from the UI-ready servers.
  EXPECT_EQ(rig.stop_agent(), 0);
  EXPECT_NE(sim_state(kMain).find("\"detaches\":1"), std::string::npos);
  EXPECT_EQ(rig.err().find("[streamdeck]"), std::string::npos) << rig.err();
}

}  // namespace
}  // namespace tolvarine::operator_control
