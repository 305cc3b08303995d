#include "streamdeck/operator_deck_manager.h"

#include <gtest/gtest.h>

#include <sstream>

namespace tolvarine::operator_control {
namespace {

using lines = std::vector<std::string>;

// Records every call as one line; answers from per-server tables, which the
// test changes only between passes. Thread-safe: key copies go out on one
// thread per server.
class recording_client : public operator_deck_client {
 public:
  bool register_decks(const system_record& s, const std::string&, const std::string&,
                      const std::vector<deck_info>& d, int) const override {
    return note("register " + s.serial + " " + std::to_string(d.size()), s.serial);
  }
  std::optional<operator_deck_state> fetch_state(const system_record& s, const std::string&,
                                                 std::int64_t since, int) const override {
    note("poll " + s.serial + " " + std::to_string(since), s.serial);
    if (states.count(s.serial) == 0) return std::nullopt;
    operator_deck_state st = states.at(s.serial);
    st.changed = since < st.generation;
    return st;
  }
  bool key_event(const system_record& s, const std::string&, const std::string& deck, int index,
                 bool down, int) const override {
    return note("key " + s.serial + " " + deck + ":" + std::to_string(index) + (down ? "v" : "^"),
                s.serial);
  }
  bool set_page(const system_record& s, const std::string&, const std::string& deck, int page,
                int) const override {
    return note("page " + s.serial + " " + deck + "=" + std::to_string(page), s.serial);
  }
  lines take() {  // sorted: the key copies race
    mutex_lock lock(mu_);
    std::sort(calls_.begin(), calls_.end());
    return std::exchange(calls_, {});
  }
  std::map<std::string, operator_deck_state> states;
  std::set<std::string> refused;

 private:
  bool note(const std::string& call, const std::string& server) const {
    mutex_lock lock(mu_);
    calls_.push_back(call);
    return refused.count(server) == 0;
  }
  mutable mutex mu_;
  mutable lines calls_ GUARDED_BY(mu_);
};

class recording_adapter : public streamdeck_adapter {
 public:
  bool start() override { return true; }
  void stop() override {}
  std::vector<deck_info> decks() const override { return decks_; }
  bool set_key_image(const std::string& s, int k, const std::vector<std::uint8_t>& b) override {
    return paint(s + ":" + std::to_string(k) + "=" + std::string(b.begin(), b.end()));
  }
  bool clear_key(const std::string& s, int k) override {
    return paint(s + ":" + std::to_string(k) + "=black");
  }
  bool clear_all(const std::string&) override { return true; }
  bool show_splash(const std::string& s) override { return paint(s + "=splash"); }
  void on_key(key_callback) override {}
  bool paint(const std::string& what) { return paints.emplace_back(what), true; }
  std::vector<deck_info> decks_{{"D1", "128", "Deck", "p1", 15, 72, 72, "jpeg", 180}};
  lines paints;
};

operator_deck_state state(std::int64_t generation, int page,
                          std::vector<operator_deck_key_image> keys) {
  return {generation, true, {{"D1", page, false, std::move(keys)}}};
}

class OperatorDeckManager : public ::testing::Test {
 protected:
  void SetUp() override {
    config_.merge_discovered(
        {{"10.0.0.2", 5000, "A", "M"}, {"10.0.0.3", 5000, "B", "B"}, {"10.0.0.4", 5000, "C", "I"}});
    config_.configure_pair(true, "M", "B");
    for (const char* s : {"M", "B", "I"}) config_.set_ui_ready(s, true);
  }
  static std::string take(std::ostringstream& s) { return std::exchange(s, {}).str(); }
  void pass(int ms = 100) {
    manager_.run_pass();
    now_ += std::chrono::milliseconds(ms);
  }

  control_config config_{::testing::TempDir() + "deck-manager/operator-control.json"};
  recording_adapter adapter_;
  recording_client& client_ = *new recording_client;  // owned by manager_
  steady_time now_ = steady_time{} + std::chrono::hours(1);
  std::ostringstream out_, err_;
  operator_deck_manager manager_{
      config_, adapter_,
      {std::unique_ptr<operator_deck_client>(&client_), [this] { return now_; }, "desk", &out_,
       &err_}};
};

TEST_F(OperatorDeckManager, PaintsOnlyTheAuthorityAndHandsPagesOverOnTransfer) {
  client_.refused = {"I"};
  client_.states = {{"M", state(5, 2, {{0, {'m'}}, {1, {}}})},
                    {"B", state(3, 7, {{0, {'b'}}})},
                    {"I", state(9, 1, {{0, {'i'}}})}};
  pass(1000);
  EXPECT_EQ(take(out_),
            "[streamdeck] registered 1 deck(s) with M\n[streamdeck] registered 1 deck(s) with B\n"
            "[streamdeck] display authority=M\n");
  EXPECT_EQ(client_.take(),
            (lines{"poll B 0", "poll M 0", "register B 1", "register I 1", "register M 1"}));
  EXPECT_EQ(adapter_.paints, (lines{"D1:0=m", "D1:1=black"}));
  pass(1000);  // one second after the registration: none yet
  EXPECT_EQ(client_.take(), (lines{"poll B 3", "poll M 5"}));
  pass();
  EXPECT_EQ(client_.take(),
            (lines{"poll B 3", "poll M 5", "register B 1", "register I 1", "register M 1"}));
  take(out_);
  config_.set_health_selection(true, "B");
  adapter_.paints.clear();
  pass();
  EXPECT_EQ(client_.take(), (lines{"page B D1=2", "poll B 0", "poll M 5"}));
  EXPECT_EQ(take(out_), "[streamdeck] display authority=B\n");
  EXPECT_EQ(adapter_.paints, (lines{"D1:0=b"}));

  // No active UI: "none" once, the pair still polled, nothing painted, keys
  // dropped without a line.
  config_.set_health_selection(true, "gone");
  client_.states["M"].generation = 6;
  pass();
  pass();
  manager_.enqueue_key("D1", 3, true);
  manager_.process_key_events();
  EXPECT_EQ(take(out_), "[streamdeck] display authority=none\n");
  EXPECT_EQ(client_.take(), (lines{"poll B 3", "poll B 3", "poll M 5", "poll M 6"}));
  EXPECT_EQ(adapter_.paints, (lines{"D1:0=b"}));
  EXPECT_EQ(take(err_), "");
}

TEST_F(OperatorDeckManager, DeliversKeysToThePairOrTheActiveServerWithExactLines) {
  const std::string tail = " deck=D1 key=3 down=true\n";
  const std::string m = "[streamdeck] key event delivery failed server=M" + tail;
  const std::string b = "[streamdeck] key event delivery failed server=B" + tail;
  const std::string none = "[streamdeck] key event was not accepted by any Tolvarine server" + tail;
  const lines both = {"key B D1:3v", "key M D1:3v"};
  const std::tuple<bool, std::set<std::string>, lines, std::string> rows[] = {
      {true, {}, both, ""},
      {true, {"M"}, both, m},
      {true, {"M", "B"}, both, m + b + none},
      {false, {"B"}, {"key M D1:3v"}, ""},
      {false, {"M"}, {"key M D1:3v"}, none}};
  for (const auto& [pair, refusing, calls, errors] : rows) {
    config_.configure_pair(pair, "M", "B");
    client_.refused = refusing;
    manager_.enqueue_key("D1", 3, true);
    manager_.process_key_events();
    EXPECT_EQ(client_.take(), calls) << pair << refusing.size();
    EXPECT_EQ(take(err_), errors) << pair << refusing.size();
  }
}

TEST_F(OperatorDeckManager, RepaintsADeckThatComesBackAndReleasesItsHeldKeys) {
  client_.states["M"] = state(5, 1, {{0, {'m'}}});
  pass();
  client_.take();
  manager_.enqueue_key("D1", 4, true);
  manager_.enqueue_key("D1", 9, true);
  manager_.enqueue_key("D1", 9, false);
  const std::vector<deck_info> attached = std::exchange(adapter_.decks_, {});
  pass();
  EXPECT_EQ(client_.take(), (lines{"key B D1:4^", "key B D1:4v", "key B D1:9^", "key B D1:9v",
                                   "key M D1:4^", "key M D1:4v", "key M D1:9^", "key M D1:9v",
                                   "poll B 0", "poll M 5"}))
      << "key 4, still held when the deck went, is released";
  adapter_.decks_ = attached;
  adapter_.paints.clear();
  pass();
  EXPECT_TRUE(adapter_.paints.empty()) << "the adapter's splash is still going out";
  pass();
  pass();
  EXPECT_EQ(adapter_.paints, (lines{"D1:0=m"}));
}

}  // namespace
}  // namespace tolvarine::operator_control
