#include "streamdeck/operator_deck_manager.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

namespace tolvarine::operator_control {
namespace {

using lines = std::vector<std::string>;

// Records every call as one line; answers from per-server tables.
// Thread-safe: the key copies arrive on two threads at once.
class recording_client : public operator_deck_client {
 public:
  bool register_decks(const system_record& s, const std::string&, const std::string&,
                      const std::vector<deck_info>& d, int) const override {
    return note("register " + s.serial + " " + std::to_string(d.size()), s.serial);
  }
  std::optional<operator_deck_state> fetch_state(const system_record& s, const std::string&,
                                                 std::int64_t since, int) const override {
    note("poll " + s.serial + " " + std::to_string(since), s.serial);
    mutex_lock lock(mu_);
    auto it = states_.find(s.serial);
    if (it == states_.end()) return std::nullopt;
    operator_deck_state st = it->second;
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
  void set_state(const std::string& server, operator_deck_state st) {
    mutex_lock lock(mu_);
    states_[server] = std::move(st);
  }
  void refuse(std::set<std::string> servers) {
    mutex_lock lock(mu_);
    refused_ = std::move(servers);
  }
  lines take() {  // sorted: the key copies race
    mutex_lock lock(mu_);
    std::sort(calls_.begin(), calls_.end());
    return std::exchange(calls_, {});
  }

 private:
  bool note(const std::string& call, const std::string& server) const {
    mutex_lock lock(mu_);
    calls_.push_back(call);
    return refused_.count(server) == 0;
  }
  mutable mutex mu_;
  mutable lines calls_ GUARDED_BY(mu_);
  std::map<std::string, operator_deck_state> states_ GUARDED_BY(mu_);
  std::set<std::string> refused_ GUARDED_BY(mu_);
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
  std::vector<deck_info> decks_;
  lines paints;
};

operator_deck_state state(std::int64_t generation, const std::string& deck, int page,
                          std::vector<operator_deck_key_image> keys) {
  return {generation, true, {{deck, page, false, std::move(keys)}}};
}

class OperatorDeckManager : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(dir_);
    config_.merge_discovered(
        {{"10.0.0.2", 5000, "A", "M"}, {"10.0.0.3", 5000, "B", "B"}, {"10.0.0.4", 5000, "C", "I"}});
    config_.configure_pair(true, "M", "B");
    for (const char* s : {"M", "B", "I"}) config_.set_ui_ready(s, true);
    adapter_.decks_ = {deck_info{"D1", "128", "Deck", "p1", 15, 72, 72, "jpeg", 180}};
    auto client = std::make_unique<recording_client>();
    client_ = client.get();
    manager_ = std::make_unique<operator_deck_manager>(
        config_, adapter_,
        operator_deck_manager::options{std::move(client), [this] { return now_; }, "desk", &out_,
                                       &err_});
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  static lines take(std::ostringstream& s) {
    lines out;
    for (std::istringstream in(std::exchange(s, {}).str()); std::getline(in, out.emplace_back());) {
    }
    out.pop_back();
    return out;
  }
  void pass(int ms = 100) {
    manager_->run_pass();
    now_ += std::chrono::milliseconds(ms);
  }

  std::string dir_ = ::testing::TempDir() + "deck-manager";
  control_config config_{dir_ + "/operator-control.json"};
  recording_adapter adapter_;
  recording_client* client_ = nullptr;
  steady_time now_ = steady_time{} + std::chrono::hours(1);
  std::ostringstream out_, err_;
  std::unique_ptr<operator_deck_manager> manager_;
};

TEST_F(OperatorDeckManager, PaintsOnlyTheAuthorityAndHandsPagesOverOnTransfer) {
  client_->refuse({"I"});
  client_->set_state("M", state(5, "D1", 2, {{0, {'m'}}, {1, {}}}));
  client_->set_state("B", state(3, "D1", 7, {{0, {'b'}}}));
  client_->set_state("I", state(9, "D1", 1, {{0, {'i'}}}));
  pass(1000);
  EXPECT_EQ(take(out_), (lines{"[streamdeck] registered 1 deck(s) with M",
                               "[streamdeck] registered 1 deck(s) with B",
                               "[streamdeck] display authority=M"}));
  EXPECT_EQ(client_->take(),
            (lines{"poll B 0", "poll M 0", "register B 1", "register I 1", "register M 1"}));
  EXPECT_EQ(adapter_.paints, (lines{"D1:0=m", "D1:1=black"}));
  pass(1000);  // one second after the registration: none yet
  EXPECT_EQ(client_->take(), (lines{"poll B 3", "poll M 5"}));
  pass();
  EXPECT_EQ(client_->take(),
            (lines{"poll B 3", "poll M 5", "register B 1", "register I 1", "register M 1"}));
  EXPECT_EQ(take(out_).size(), 2u);
  config_.set_health_selection(true, "B");
  adapter_.paints.clear();
  pass();
  EXPECT_EQ(client_->take(), (lines{"page B D1=2", "poll B 0", "poll M 5"}));
  EXPECT_EQ(take(out_), (lines{"[streamdeck] display authority=B"}));
  EXPECT_EQ(adapter_.paints, (lines{"D1:0=b"}));
}

TEST_F(OperatorDeckManager, DeliversKeysToThePairOrTheActiveServerWithExactLines) {
  struct row {
    bool pair;
    std::set<std::string> refusing;
    lines calls;
    lines errors;
  };
  const std::string tail = " deck=D1 key=3 down=true";
  const row rows[] = {
      {true, {}, {"key B D1:3v", "key M D1:3v"}, {}},
      {true,
       {"M"},
       {"key B D1:3v", "key M D1:3v"},
       {"[streamdeck] key event delivery failed server=M" + tail}},
      {true,
       {"M", "B"},
       {"key B D1:3v", "key M D1:3v"},
       {"[streamdeck] key event delivery failed server=M" + tail,
        "[streamdeck] key event delivery failed server=B" + tail,
        "[streamdeck] key event was not accepted by any Tolvarine server" + tail}},
      {false, {"B"}, {"key M D1:3v"}, {}},
      {false,
       {"M"},
       {"key M D1:3v"},
       {"[streamdeck] key event was not accepted by any Tolvarine server" + tail}},
  };
  for (const row& r : rows) {
    config_.configure_pair(r.pair, "M", "B");
    client_->refuse(r.refusing);
    manager_->enqueue_key("D1", 3, true);
    manager_->process_key_events();
    EXPECT_EQ(client_->take(), r.calls) << r.pair << r.refusing.size();
    EXPECT_EQ(take(err_), r.errors) << r.pair << r.refusing.size();
  }
}

TEST_F(OperatorDeckManager, RepaintsADeckThatComesBackAfterTheAdaptersSplash) {
  client_->set_state("M", state(5, "D1", 1, {{0, {'m'}}}));
  pass();
  const std::vector<deck_info> attached = std::exchange(adapter_.decks_, {});
  pass();
  adapter_.decks_ = attached;
  adapter_.paints.clear();
  pass();
  EXPECT_TRUE(adapter_.paints.empty());
  pass();
  pass();
  EXPECT_EQ(adapter_.paints, (lines{"D1:0=m"}));
}

}  // namespace
}  // namespace tolvarine::operator_control
