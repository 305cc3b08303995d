#include "streamdeck/hid_streamdeck_adapter.h"

#include <array>
#include <chrono>
#include <cstdio>
#include <exception>
#include <iostream>
#include <utility>

#include "streamdeck/input_report.h"
#include "streamdeck/key_image_writer.h"

namespace tolvarine::operator_control {
namespace {

constexpr auto scan_period = std::chrono::seconds(2);
constexpr auto read_period = std::chrono::milliseconds(20);
constexpr int max_reports_per_pass = 64;
constexpr std::size_t input_report_capacity = 512;
constexpr std::size_t serial_capacity = 256;

void write_line(std::ostream& stream, const std::string& line) {
  const std::string text = line + "\n";
  stream.write(text.data(), static_cast<std::streamsize>(text.size()));
  stream.flush();
}

hid_streamdeck_adapter::options with_defaults(hid_streamdeck_adapter::options opts) {
  if (!opts.clock) opts.clock = steady_now;
  if (!opts.info) opts.info = [](const std::string& line) { write_line(std::cout, line); };
  if (!opts.problem) opts.problem = [](const std::string& line) { write_line(std::cerr, line); };
  return opts;
}

// Device strings are wide; characters outside ASCII become "?".
std::string narrow(const wchar_t* text) {
  std::string out;
  if (text == nullptr) return out;
  for (; *text != 0; ++text) {
    const auto code = static_cast<std::uint32_t>(*text);
    out += code >= 128 ? '?' : static_cast<char>(code);
  }
  return out;
}

std::string hex4(unsigned value) {
  std::array<char, 8> text{};
  std::snprintf(text.data(), text.size(), "%04x", value & 0xFFFFu);
  return text.data();
}

// The report that puts a deck back to its idle screen when we let go of it.
bool send_reset_locked(connected_deck& deck) REQUIRES(deck.device_mutex) {
  std::array<std::uint8_t, 32> report{};
  std::size_t size = 17;
  switch (deck.profile.family) {
    case deck_family::family_legacy:
    case deck_family::family_mini:
      report[0] = 0x0B;
      report[1] = 0x63;
      break;
    case deck_family::family_main:
      report[0] = 0x03;
      report[1] = 0x02;
      size = 32;
      break;
  }
  return deck.send_feature_locked(report.data(), size);
}

bool well_formed(deck_family family, const std::vector<std::uint8_t>& image) {
  const std::size_t n = image.size();
  if (family == deck_family::family_main) {
    return n >= 4 && image[0] == 0xFF && image[1] == 0xD8 && image[n - 2] == 0xFF &&
           image[n - 1] == 0xD9;
  }
  return n >= 54 && image[0] == 'B' && image[1] == 'M';
}

}  // namespace

hid_streamdeck_adapter::hid_streamdeck_adapter() : hid_streamdeck_adapter(options{}) {}

hid_streamdeck_adapter::hid_streamdeck_adapter(options opts)
    : options_(with_defaults(std::move(opts))) {}

hid_streamdeck_adapter::~hid_streamdeck_adapter() { stop(); }

bool hid_streamdeck_adapter::start() {
  if (running_.load()) return true;
  if (hid_init() != 0) return false;
  {
    mutex_lock lock(mutex_);
    next_scan_.reset();
  }
  running_.store(true);
  thread_ = std::thread([this] { run(); });
  return true;
}

void hid_streamdeck_adapter::stop() {
  if (!running_.exchange(false)) return;
  {
    // Taking the sleep mutex orders the flag change before the wait's
    // predicate check, so the wake-up cannot be lost.
    mutex_lock lock(sleep_mutex_);
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
  {
    mutex_lock lock(mutex_);
    for (auto& [serial, deck] : decks_) {
      mutex_lock deck_lock(deck->device_mutex);
      if (deck->open_locked()) {
        (void)send_reset_locked(*deck);
        deck->close_locked();
      }
    }
    decks_.clear();
  }
  hid_exit();
}

void hid_streamdeck_adapter::run() {
  while (running_.load()) {
    try {
      run_once(options_.clock());
    } catch (const std::exception& e) {
      options_.problem(std::string("[streamdeck] adapter pass failed: ") + e.what());
    } catch (...) {
      options_.problem("[streamdeck] adapter pass failed");
    }
    mutex_lock lock(sleep_mutex_);
    wake_.wait_for(lock, read_period, [this] { return !running_.load(); });
  }
}

void hid_streamdeck_adapter::run_once(steady_time now) {
  bool scan_due = false;
  {
    mutex_lock lock(mutex_);
    if (!next_scan_ || now >= *next_scan_) {
      scan_due = true;
      next_scan_ = now + scan_period;
    }
  }
  if (scan_due) scan_once();
  read_keys_once();
}

void hid_streamdeck_adapter::scan_once() {
  hid_device_info* list = hid_enumerate(streamdeck_vendor_id, 0);
  std::set<std::string> present;
  for (const hid_device_info* device = list; device != nullptr; device = device->next) {
    if (device->path == nullptr) continue;
    const std::string path = device->path;
    const deck_profile* profile = profile_for(device->product_id);
    if (profile == nullptr) {
      bool first;
      {
        mutex_lock lock(mutex_);
        first = unsupported_paths_.insert(path).second;
      }
      if (first) {
        options_.problem("[streamdeck] unsupported Elgato HID device pid=0x" +
                         hex4(device->product_id) +
                         " name=" + narrow(device->product_string) + " path=" + path);
      }
      continue;
    }
    present.insert(path);
    {
      mutex_lock lock(mutex_);
      if (attached_path_locked(path)) continue;
    }
    attach(*device, *profile);
  }
  hid_free_enumeration(list);

  std::vector<deck_ptr> gone;
  {
    mutex_lock lock(mutex_);
    for (auto it = decks_.begin(); it != decks_.end();) {
      if (present.count(it->second->info.path) == 0) {
        gone.push_back(it->second);
        it = decks_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (const deck_ptr& deck : gone) {
    {
      mutex_lock deck_lock(deck->device_mutex);
      deck->close_locked();
    }
    options_.info("[streamdeck] detached serial=" + deck->info.serial);
  }
}

void hid_streamdeck_adapter::attach(const hid_device_info& device, const deck_profile& profile) {
  const std::string path = device.path;
  hid_device* handle = hid_open_path(device.path);
  if (handle == nullptr) {
    bool first;
    {
      mutex_lock lock(mutex_);
      first = unopenable_paths_.insert(path).second;
    }
    if (first) {
      options_.problem("[streamdeck] found " + std::string(profile.model_name) + " pid=0x" +
                       hex4(profile.product_id) +
                       " but could not open it; another application may own the HID "
                       "device. path=" +
                       path);
    }
    return;
  }
  {
    mutex_lock lock(mutex_);
    unopenable_paths_.erase(path);
  }
  hid_set_nonblocking(handle, 1);

  std::string serial = narrow(device.serial_number);
  if (serial.empty()) {
    std::array<wchar_t, serial_capacity> buffer{};
    if (hid_get_serial_number_string(handle, buffer.data(), buffer.size()) == 0) {
      buffer.back() = 0;
      serial = narrow(buffer.data());
    }
  }
  if (serial.empty()) serial = "path:" + path;

  deck_info info;
  info.serial = serial;
  info.product_id = std::to_string(profile.product_id);
  info.name = narrow(device.product_string);
  if (info.name.empty()) info.name = profile.model_name;
  info.path = path;
  info.key_count = profile.key_count;
  info.key_width = profile.key_width;
  info.key_height = profile.key_height;
  info.image_format = profile.image_format;
  info.image_rotation = profile.image_rotation;
  auto deck = std::make_shared<connected_deck>(std::move(info), profile, handle);

  std::optional<std::string> existing_path;
  {
    mutex_lock lock(mutex_);
    auto it = decks_.find(serial);
    if (it != decks_.end()) {
      existing_path = it->second->info.path;
    } else {
      decks_.emplace(serial, deck);
    }
  }
  if (existing_path) {
    if (*existing_path != path) {
      options_.problem("[streamdeck] serial collision: serial=" + serial +
                       " existingPath=" + *existing_path + " newPath=" + path);
    }
    mutex_lock deck_lock(deck->device_mutex);
    deck->close_locked();
    return;
  }

  bool painted;
  {
    mutex_lock deck_lock(deck->device_mutex);
    painted = show_tolvarine_splash(*deck);
  }
  if (!painted) {
    options_.problem("[streamdeck] unable to paint bundled Tolvarine splash for serial=" + serial);
  }
  options_.info("[streamdeck] attached " + deck->info.name + " serial=" + serial +
                " pid=" + deck->info.product_id);
  if (deck->failed()) detach_failed(deck);
}

void hid_streamdeck_adapter::read_keys_once() {
  std::vector<deck_ptr> decks;
  key_callback callback;
  {
    mutex_lock lock(mutex_);
    if (!callback_) return;
    callback = callback_;
    decks.reserve(decks_.size());
    for (const auto& [serial, deck] : decks_) decks.push_back(deck);
  }
  for (const deck_ptr& deck : decks) {
    if (!read_deck(deck, callback)) detach_failed(deck);
  }
}

bool hid_streamdeck_adapter::read_deck(const deck_ptr& deck, const key_callback& callback) {
  std::array<std::uint8_t, input_report_capacity> report;
  std::vector<std::pair<int, bool>> changes;
  for (int i = 0; i < max_reports_per_pass; ++i) {
    changes.clear();
    int size;
    {
      mutex_lock deck_lock(deck->device_mutex);
      size = deck->read_locked(report.data(), report.size());
      if (size > 0) {
        const auto states = decode_key_report(deck->profile.family, deck->profile.key_count,
                                              report.data(), static_cast<std::size_t>(size));
        if (states) {
          const std::uint64_t changed = *states ^ deck->key_states;
          deck->key_states = *states;
          for (int k = 0; k < deck->profile.key_count; ++k) {
            if ((changed >> k) & 1) changes.emplace_back(k, ((*states >> k) & 1) != 0);
          }
        }
      }
    }
    if (size < 0) return false;
    if (size == 0) return true;
    for (const auto& [key, pressed] : changes) callback(deck->info.serial, key, pressed);
  }
  return true;
}

std::vector<deck_info> hid_streamdeck_adapter::decks() const {
  mutex_lock lock(mutex_);
  std::vector<deck_info> out;
  out.reserve(decks_.size());
  for (const auto& [serial, deck] : decks_) out.push_back(deck->info);
  return out;
}

bool hid_streamdeck_adapter::set_key_image(const std::string& serial, int key,
                                           const std::vector<std::uint8_t>& bytes) {
  const deck_ptr deck = find(serial);
  if (!deck || key < 0 || key >= deck->profile.key_count || bytes.empty()) return false;
  if (!well_formed(deck->profile.family, bytes)) {
    options_.problem("[streamdeck] rejected malformed " + std::string(deck->profile.image_format) +
                     " image serial=" + serial + " key=" + std::to_string(key) +
                     " bytes=" + std::to_string(bytes.size()));
    return false;
  }
  bool ok;
  {
    mutex_lock deck_lock(deck->device_mutex);
    ok = write_key_image(*deck, key, bytes);
  }
  return finish_operation(deck, ok);
}

bool hid_streamdeck_adapter::clear_key(const std::string& serial, int key) {
  const deck_ptr deck = find(serial);
  if (!deck || key < 0 || key >= deck->profile.key_count) return false;
  bool ok;
  {
    mutex_lock deck_lock(deck->device_mutex);
    ok = clear_deck_key(*deck, key);
  }
  return finish_operation(deck, ok);
}

bool hid_streamdeck_adapter::clear_all(const std::string& serial) {
  const deck_ptr deck = find(serial);
  if (!deck) return false;
  bool ok = true;
  {
    mutex_lock deck_lock(deck->device_mutex);
    for (int k = 0; k < deck->profile.key_count; ++k) {
      if (!clear_deck_key(*deck, k)) ok = false;
    }
  }
  return finish_operation(deck, ok);
}

bool hid_streamdeck_adapter::show_splash(const std::string& serial) {
  const deck_ptr deck = find(serial);
  if (!deck) return false;
  bool ok;
  {
    mutex_lock deck_lock(deck->device_mutex);
    ok = show_tolvarine_splash(*deck);
  }
  return finish_operation(deck, ok);
}

void hid_streamdeck_adapter::on_key(key_callback callback) {
  key_callback old;
  {
    mutex_lock lock(mutex_);
    old = std::exchange(callback_, std::move(callback));
  }
  // `old` is destroyed here, outside the lock.
}

hid_streamdeck_adapter::deck_ptr hid_streamdeck_adapter::find(const std::string& serial) const {
  mutex_lock lock(mutex_);
  auto it = decks_.find(serial);
  return it == decks_.end() ? nullptr : it->second;
}

bool hid_streamdeck_adapter::attached_path_locked(const std::string& path) const {
  for (const auto& [serial, deck] : decks_) {
    if (deck->info.path == path) return true;
  }
  return false;
}

void hid_streamdeck_adapter::detach_failed(const deck_ptr& deck) {
  bool removed = false;
  {
    mutex_lock lock(mutex_);
    auto it = decks_.find(deck->info.serial);
    if (it != decks_.end() && it->second == deck) {
      decks_.erase(it);
      removed = true;
    }
  }
  if (removed) options_.info("[streamdeck] detached serial=" + deck->info.serial);
}

bool hid_streamdeck_adapter::finish_operation(const deck_ptr& deck, bool ok) {
  if (deck->failed()) detach_failed(deck);
  return ok;
}

}  // namespace tolvarine::operator_control
