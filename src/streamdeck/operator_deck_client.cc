#include "streamdeck/operator_deck_client.h"

#include <iostream>
#include <limits>

#include "config/json_util.h"
#include "server/http_client.h"
#include "streamdeck/base64.h"

namespace tolvarine::operator_control {
namespace {

namespace ju = json_util;

std::string quoted(std::string_view text) { return "\"" + ju::escape(text) + "\""; }

// "Name" and "name": the second spelling of a capitalised member name.
std::string lower_first(std::string_view name) {
  std::string out(name);
  if (!out.empty() && out[0] >= 'A' && out[0] <= 'Z')
    out[0] = static_cast<char>(out[0] - 'A' + 'a');
  return out;
}

std::optional<long long> either_integer(std::string_view text, std::string_view name) {
  if (auto lower = ju::integer_value(text, lower_first(name))) return lower;
  return ju::integer_value(text, name);
}

std::int64_t read_int64(std::string_view text, std::string_view name, std::int64_t fallback) {
  return either_integer(text, name).value_or(fallback);
}

// Clamped into 32 bits: an index of 1e30 is simply out of every range.
std::int32_t read_int32(std::string_view text, std::string_view name, std::int32_t fallback) {
  const std::optional<long long> v = either_integer(text, name);
  if (!v) return fallback;
  if (*v < std::numeric_limits<std::int32_t>::min())
    return std::numeric_limits<std::int32_t>::min();
  if (*v > std::numeric_limits<std::int32_t>::max())
    return std::numeric_limits<std::int32_t>::max();
  return static_cast<std::int32_t>(*v);
}

bool read_bool(std::string_view text, std::string_view name, bool fallback) {
  return ju::bool_value(text, lower_first(name), ju::bool_value(text, name, fallback));
}

std::string read_string(std::string_view text, std::string_view name) {
  return ju::string_value(text, lower_first(name), ju::string_value(text, name, ""));
}

std::vector<std::string> read_objects(std::string_view text, std::string_view name) {
  std::vector<std::string> items = ju::object_array(text, name);
  if (items.empty()) items = ju::object_array(text, lower_first(name));
  return items;
}

bool accepted(const http_response& r) { return r.status >= 200 && r.status <= 299; }

http_response post(const system_record& server, const char* path, const std::string& body,
                   int timeout_ms) {
  return http_request(server.address, server.web_port, "POST", path, body, "application/json",
                      timeout_ms, kDeckPostLimit);
}

}  // namespace

std::string register_decks_body(const std::string& session_id, const std::string& machine_name,
                                const std::vector<deck_info>& decks) {
  std::string out = "{\"SessionId\":" + quoted(session_id) +
                    ",\"MachineName\":" + quoted(machine_name) + ",\"Decks\":[";
  for (size_t i = 0; i < decks.size(); ++i) {
    const deck_info& d = decks[i];
    if (i > 0) out += ",";
    out += "{\"Serial\":" + quoted(d.serial) + ",\"PID\":" + quoted(d.product_id) +
           ",\"DeviceName\":" + quoted(d.name) + ",\"KeyCount\":" + std::to_string(d.key_count) +
           ",\"DevicePath\":" + quoted(d.path) + ",\"KeyWidth\":" + std::to_string(d.key_width) +
           ",\"KeyHeight\":" + std::to_string(d.key_height) +
           ",\"ImageFormat\":" + quoted(d.image_format) +
           ",\"ImageRotation\":" + std::to_string(d.image_rotation) + "}";
  }
  return out + "]}";
}

std::string key_event_body(const std::string& session_id, const std::string& deck_serial, int index,
                           bool down) {
  return "{\"SessionId\":" + quoted(session_id) + ",\"Serial\":" + quoted(deck_serial) +
         ",\"Index\":" + std::to_string(index) + ",\"IsDown\":" + (down ? "true" : "false") + "}";
}

std::string set_page_body(const std::string& session_id, const std::string& deck_serial, int page) {
  return "{\"SessionId\":" + quoted(session_id) + ",\"Serial\":" + quoted(deck_serial) +
         ",\"Page\":" + std::to_string(page) + "}";
}

std::string detach_body(const std::string& session_id) {
  return "{\"SessionId\":" + quoted(session_id) + "}";
}

operator_deck_state parse_operator_deck_state(std::string_view body, std::int64_t since,
                                              std::ostream& err) {
  operator_deck_state state;
  state.generation = read_int64(body, "Generation", since);
  state.changed = read_bool(body, "Changed", false);
  const std::vector<std::string> decks = read_objects(body, "Decks");
  for (size_t d = 0; d < decks.size() && d < kMaxStateDecks; ++d) {
    const std::string& deck = decks[d];
    operator_deck_snapshot snapshot;
    snapshot.serial = read_string(deck, "Serial");
    snapshot.page = read_int32(deck, "Page", 1);
    snapshot.use_splash = read_bool(deck, "UseSplash", false);
    const std::vector<std::string> keys = read_objects(deck, "Keys");
    for (size_t k = 0; k < keys.size() && k < kMaxStateKeys; ++k) {
      operator_deck_key_image key;
      key.index = read_int32(keys[k], "Index", 0);
      const std::string data = read_string(keys[k], "Data");
      if (!data.empty()) {
        bool ok = false;
        key.image = base64::decode(data, &ok);
        if (!ok) {
          err << "[streamdeck] rejected invalid Base64 image from server deck=" + snapshot.serial +
                     " key=" + std::to_string(key.index) + "\n"
              << std::flush;
          continue;
        }
      }
      snapshot.keys.push_back(std::move(key));
    }
    state.decks.push_back(std::move(snapshot));
  }
  return state;
}

bool operator_deck_client::register_decks(const system_record& server,
                                          const std::string& session_id,
                                          const std::string& machine_name,
                                          const std::vector<deck_info>& decks,
                                          int timeout_ms) const {
  return accepted(post(server, "/Home/OperatorDeckRegister",
                       register_decks_body(session_id, machine_name, decks), timeout_ms));
}

std::optional<operator_deck_state> operator_deck_client::fetch_state(const system_record& server,
                                                                     const std::string& session_id,
                                                                     std::int64_t since,
                                                                     int timeout_ms) const {
  const std::string path = "/Home/OperatorDeckState?sessionId=" + url_encode(session_id) +
                           "&since=" + std::to_string(since);
  const http_response r = http_request(server.address, server.web_port, "GET", path, "",
                                       "application/json", timeout_ms, kDeckStateLimit);
  if (r.status != 200) return std::nullopt;
  return parse_operator_deck_state(r.body, since, std::cerr);
}

bool operator_deck_client::key_event(const system_record& server, const std::string& session_id,
                                     const std::string& deck_serial, int index, bool down,
                                     int timeout_ms) const {
  return accepted(post(server, "/Home/OperatorDeckKeyEvent",
                       key_event_body(session_id, deck_serial, index, down), timeout_ms));
}

bool operator_deck_client::set_page(const system_record& server, const std::string& session_id,
                                    const std::string& deck_serial, int page,
                                    int timeout_ms) const {
  return accepted(post(server, "/Home/OperatorDeckSetPage",
                       set_page_body(session_id, deck_serial, page), timeout_ms));
}

bool operator_deck_client::detach(const system_record& server, const std::string& session_id,
                                  int timeout_ms) const {
  return accepted(post(server, "/Home/OperatorDeckDetach", detach_body(session_id), timeout_ms));
}

}  // namespace tolvarine::operator_control
