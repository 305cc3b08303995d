#include "streamdeck/operator_deck_manager.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <exception>
#include <functional>
#include <future>
#include <utility>

#include "common/prompt_wakeup.h"

namespace tolvarine::operator_control {
namespace {

std::string host_machine_name() {
  char buffer[256];
  std::memset(buffer, 0, sizeof(buffer));
  if (::gethostname(buffer, sizeof(buffer) - 1) != 0 || buffer[0] == '\0') return "operator";
  return buffer;
}

bool paired_role(system_role role) {
  return role == system_role::main || role == system_role::backup;
}

const char* bool_text(bool b) { return b ? "true" : "false"; }

}  // namespace

operator_deck_manager::operator_deck_manager(control_config& config, streamdeck_adapter& adapter)
    : operator_deck_manager(config, adapter, options{}) {}

operator_deck_manager::operator_deck_manager(control_config& config, streamdeck_adapter& adapter,
                                             options opts)
    : config_(config),
      adapter_(adapter),
      client_(opts.client ? std::move(opts.client) : std::make_unique<operator_deck_client>()),
      clock_(opts.clock ? opts.clock : steady_clock_fn(steady_now)),
      out_(*opts.out),
      err_(*opts.err),
      machine_name_(opts.machine_name.empty() ? host_machine_name() : opts.machine_name),
      session_id_("operator-control-" + machine_name_) {}

operator_deck_manager::~operator_deck_manager() {
  stop();
  deliveries_.clear();
  senders_.clear();  // also those a test's direct calls started
}

bool operator_deck_manager::start() {
  if (running_.exchange(true)) return true;
  adapter_.on_key([this](const std::string& serial, int key, bool pressed) {
    enqueue_key(serial, key, pressed);
  });
  key_thread_active_.store(true);
  key_thread_ = std::thread(&operator_deck_manager::key_loop, this);
  thread_ = std::thread(&operator_deck_manager::run, this);
  return true;
}

void operator_deck_manager::stop() {
  if (!running_.exchange(false)) return;
  adapter_.on_key(nullptr);
  {
    mutex_lock lock(queue_mutex_);
    key_wake_.notify_all();
    stop_wake_.notify_all();
  }
  if (thread_.joinable()) thread_.join();
  if (key_thread_.joinable()) key_thread_.join();
  key_thread_active_.store(false);
  deliveries_.clear();
  senders_.clear();
  for (const system_record& server : config_.systems()) {
    if (server.ui_ready) (void)client_->detach(server, session_id_, kDetachMs);
  }
}

void operator_deck_manager::enqueue_key(const std::string& serial, int index, bool pressed) {
  mutex_lock lock(queue_mutex_);
  queue_.push_back({serial, index, pressed});
  std::set<int>& held = held_keys_[serial];
  if (pressed) {
    held.insert(index);
  } else {
    held.erase(index);
    if (held.empty()) held_keys_.erase(serial);
  }
  key_wake_.notify_one();
}

void operator_deck_manager::run() {
  while (running_.load()) {
    run_pass();
    mutex_lock lock(queue_mutex_);
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
    while (running_.load() && stop_wake_.wait_until(lock, until) != std::cv_status::timeout) {
    }
  }
}

void operator_deck_manager::key_loop() {
  request_prompt_wakeup();
  long long seen = 0;
  while (running_.load()) {
    {
      mutex_lock lock(queue_mutex_);
      while (running_.load() && queue_.empty() && completions_ == seen) key_wake_.wait(lock);
      seen = completions_;
    }
    if (!running_.load()) return;
    try {
      dispatch_queued_keys();
      write_delivery_lines(false);
    } catch (const std::exception& e) {
      log_err(std::string("[streamdeck] manager: ") + e.what());
    }
  }
}

void operator_deck_manager::run_pass() {
  try {
    pass_steps();
  } catch (const std::exception& e) {
    log_err(std::string("[streamdeck] manager: ") + e.what());
  }
}

void operator_deck_manager::pass_steps() {
  const std::vector<system_record> systems = config_.systems();
  const std::optional<system_record> active = config_.active_ui_system();
  const std::vector<deck_info> decks = adapter_.decks();
  release_keys_of_detached_decks(decks);

  if (clock_() >= next_registration_) {
    register_decks(systems, decks);
    next_registration_ = clock_() + std::chrono::seconds(2);
  }
  update_authority(active);
  repaint_returned_decks(decks);

  for (const system_record& server : systems) {
    if (!server.ui_ready) continue;
    const bool is_active = active && active->serial == server.serial;
    if (paired_role(server.role) || is_active) poll_server(server, is_active);
  }
  if (!key_thread_active_.load()) process_key_events();
}

void operator_deck_manager::register_decks(const std::vector<system_record>& systems,
                                           const std::vector<deck_info>& decks) {
  for (const system_record& server : systems) {
    if (!server.ui_ready) continue;
    if (client_->register_decks(server, session_id_, machine_name_, decks, kRegisterMs)) {
      log_out("[streamdeck] registered " + std::to_string(decks.size()) + " deck(s) with " +
              server.serial);
    }
  }
}

void operator_deck_manager::update_authority(const std::optional<system_record>& active) {
  const std::string authority = active ? active->serial : std::string();
  if (authority == last_authority_) return;
  if (!last_authority_.empty() && active) synchronize_pages(last_authority_, *active);
  if (active) {
    mutex_lock lock(mutex_);
    caches_[active->serial].generation = 0;
  }
  last_authority_ = authority;
  log_out("[streamdeck] display authority=" +
          (authority.empty() ? std::string("none") : authority));
}

void operator_deck_manager::synchronize_pages(const std::string& previous,
                                              const system_record& next) {
  std::vector<std::pair<std::string, int>> pages;
  {
    mutex_lock lock(mutex_);
    auto it = caches_.find(previous);
    if (it == caches_.end()) return;
    for (const auto& [serial, snapshot] : it->second.decks)
      pages.emplace_back(serial, snapshot.page);
  }
  for (const auto& [serial, page] : pages) {
    (void)client_->set_page(next, session_id_, serial, page, kSetPageMs);
  }
}

void operator_deck_manager::poll_server(const system_record& server, bool authority) {
  std::int64_t since = 0;
  {
    mutex_lock lock(mutex_);
    since = caches_[server.serial].generation;
  }
  const std::optional<operator_deck_state> state =
      client_->fetch_state(server, session_id_, since, kStateMs);
  if (!state) return;
  {
    mutex_lock lock(mutex_);
    caches_[server.serial].generation = state->generation;
  }
  if (state->changed) apply_snapshot(server.serial, *state, authority);
}

void operator_deck_manager::apply_snapshot(const std::string& server,
                                           const operator_deck_state& state, bool authority) {
  mutex_lock lock(mutex_);
  server_cache& cache = caches_[server];
  for (const operator_deck_snapshot& snapshot : state.decks) {
    cache.decks[snapshot.serial] = snapshot;
    if (authority) paint_locked(snapshot);
  }
}

void operator_deck_manager::paint_locked(const operator_deck_snapshot& snapshot) {
  if (snapshot.use_splash) {
    (void)adapter_.show_splash(snapshot.serial);
    return;
  }
  for (const operator_deck_key_image& key : snapshot.keys) {
    if (key.image.empty()) {
      (void)adapter_.clear_key(snapshot.serial, key.index);
    } else {
      (void)adapter_.set_key_image(snapshot.serial, key.index, key.image);
    }
  }
}

// A deck that comes back (replugged, or unplugged in the middle of a paint)
// shows the adapter's splash; on its second pass, once that splash is
// surely done, it gets the authority's cached page again.
void operator_deck_manager::repaint_returned_decks(const std::vector<deck_info>& decks) {
  std::map<std::string, int> seen;
  for (const deck_info& deck : decks) {
    auto it = deck_passes_.find(deck.serial);
    if (it != deck_passes_.end()) {
      seen[deck.serial] = std::min(it->second + 1, 3);
    } else {
      // A deck seen for the first time is painted by the server's next change.
      seen[deck.serial] = ever_attached_.insert(deck.serial).second ? 3 : 1;
    }
  }
  deck_passes_ = std::move(seen);
  if (last_authority_.empty()) return;
  mutex_lock lock(mutex_);
  auto cache = caches_.find(last_authority_);
  if (cache == caches_.end()) return;
  for (const auto& [serial, passes] : deck_passes_) {
    if (passes != 2) continue;
    auto snapshot = cache->second.decks.find(serial);
    if (snapshot != cache->second.decks.end()) paint_locked(snapshot->second);
  }
}

// Keys still held on a deck that is gone are released, so no server is
// left with a key that stays down.
void operator_deck_manager::release_keys_of_detached_decks(const std::vector<deck_info>& decks) {
  mutex_lock lock(queue_mutex_);
  for (auto it = held_keys_.begin(); it != held_keys_.end();) {
    const bool attached = std::any_of(decks.begin(), decks.end(),
                                      [&](const deck_info& d) { return d.serial == it->first; });
    if (attached) {
      ++it;
      continue;
    }
    for (int index : it->second) queue_.push_back({it->first, index, false});
    it = held_keys_.erase(it);
    key_wake_.notify_one();
  }
}

// One thread and one queue per server: copies to a server go out in
// arrival order, and a hung server delays only its own copies.
class operator_deck_manager::server_sender {
 public:
  explicit server_sender(std::function<void()> on_done)
      : on_done_(std::move(on_done)), thread_([this] {
          request_prompt_wakeup();
          run();
        }) {}
  ~server_sender() {
    {
      mutex_lock lock(mutex_);
      stopping_ = true;
      wake_.notify_all();
    }
    thread_.join();
  }
  std::future<bool> post(std::function<bool()> send) EXCLUDES(mutex_) {
    std::packaged_task<bool()> task(std::move(send));
    std::future<bool> result = task.get_future();
    mutex_lock lock(mutex_);
    tasks_.push_back(std::move(task));
    wake_.notify_one();
    return result;
  }

 private:
  void run() EXCLUDES(mutex_) {
    while (true) {
      std::packaged_task<bool()> task;
      {
        mutex_lock lock(mutex_);
        while (!stopping_ && tasks_.empty()) wake_.wait(lock);
        if (stopping_) return;
        task = std::move(tasks_.front());
        tasks_.pop_front();
      }
      task();
      on_done_();
    }
  }

  const std::function<void()> on_done_;
  mutex mutex_;
  condition_variable wake_;
  std::deque<std::packaged_task<bool()>> tasks_ GUARDED_BY(mutex_);
  bool stopping_ GUARDED_BY(mutex_) = false;
  std::thread thread_;  // last: starts once the rest is built
};

void operator_deck_manager::process_key_events() {
  dispatch_queued_keys();
  write_delivery_lines(true);
}

void operator_deck_manager::dispatch_queued_keys() {
  std::deque<key_event> events;
  {
    mutex_lock lock(queue_mutex_);
    events.swap(queue_);
  }
  for (const key_event& event : events) process_key_event(event);
}

void operator_deck_manager::process_key_event(const key_event& event) {
  const std::optional<system_record> active = config_.active_ui_system();
  if (!active) return;
  delivery d{event, config_.enabled() && config_.has_configured_pair(), {}, {}};
  if (d.pair) {
    for (system_record& server : config_.systems()) {
      if (server.ui_ready && paired_role(server.role)) d.targets.push_back(std::move(server));
    }
  } else {
    d.targets.push_back(*active);
  }
  for (const system_record& target : d.targets) {
    std::unique_ptr<server_sender>& sender = senders_[target.serial];
    if (!sender) {
      sender = std::make_unique<server_sender>([this] {
        mutex_lock lock(queue_mutex_);
        ++completions_;
        key_wake_.notify_all();
      });
    }
    d.results.push_back(sender->post([this, target, event]() noexcept {
      try {
        return client_->key_event(target, session_id_, event.serial, event.index, event.down,
                                  kKeyMs);
      } catch (...) {
        return false;
      }
    }));
  }
  deliveries_.push_back(std::move(d));
}

// The lines of finished deliveries, in arrival order and, within one key,
// in registry order, as if the copies had gone out one after the other.
void operator_deck_manager::write_delivery_lines(bool wait) {
  while (!deliveries_.empty()) {
    delivery& d = deliveries_.front();
    const bool done = std::all_of(d.results.begin(), d.results.end(), [](std::future<bool>& f) {
      return f.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
    });
    if (!done && !wait) return;
    bool any = false;
    const std::string tail = " deck=" + d.event.serial + " key=" + std::to_string(d.event.index) +
                             " down=" + bool_text(d.event.down);
    for (size_t i = 0; i < d.targets.size(); ++i) {
      const bool accepted = d.results[i].get();
      any = any || accepted;
      if (d.pair && !accepted) {
        log_err("[streamdeck] key event delivery failed server=" + d.targets[i].serial + tail);
      }
    }
    if (!any) log_err("[streamdeck] key event was not accepted by any Tolvarine server" + tail);
    deliveries_.pop_front();
  }
}

void operator_deck_manager::log_out(const std::string& line) {
  mutex_lock lock(log_mutex_);
  out_ << line + "\n" << std::flush;
}

void operator_deck_manager::log_err(const std::string& line) {
  mutex_lock lock(log_mutex_);
  err_ << line + "\n" << std::flush;
}

}  // namespace tolvarine::operator_control
