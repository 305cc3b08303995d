// The HTTP side of the operator decks a show server defines: announcing the
// attached decks, fetching their state (key images, page, splash flag),
// reporting key presses, handing a page over and withdrawing the session.
//
// Stateless and thread-safe. Each operation is one request to the server's
// address and web port; failure (no connection, time-out, a status outside
// the accepted range) is false or an empty optional. The operations are
// virtual so the deck manager's tests can stand in for the servers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "config/system_record.h"
#include "streamdeck/deck_profile.h"

namespace tolvarine::operator_control {

struct operator_deck_key_image {
  std::int32_t index = 0;
  std::vector<std::uint8_t> image;  // empty: paint the key black

  friend bool operator==(const operator_deck_key_image&, const operator_deck_key_image&) = default;
};

struct operator_deck_snapshot {
  std::string serial;
  std::int32_t page = 1;
  bool use_splash = false;
  std::vector<operator_deck_key_image> keys;

  friend bool operator==(const operator_deck_snapshot&, const operator_deck_snapshot&) = default;
};

struct operator_deck_state {
  std::int64_t generation = 0;
  bool changed = false;
  std::vector<operator_deck_snapshot> decks;
};

inline constexpr size_t kDeckPostLimit = 33554432;   // response bytes of the POSTs
inline constexpr size_t kDeckStateLimit = 67108864;  // response bytes of a state poll
// Entries beyond these counts in one state answer are ignored, so a hostile
// answer cannot make millions of records.
inline constexpr size_t kMaxStateDecks = 64;
inline constexpr size_t kMaxStateKeys = 256;

class operator_deck_client {
 public:
  virtual ~operator_deck_client() = default;

  // POST /Home/OperatorDeckRegister; true for a 2xx status. Sent also with
  // no decks (the session's keep-alive).
  virtual bool register_decks(const system_record& server, const std::string& session_id,
                              const std::string& machine_name, const std::vector<deck_info>& decks,
                              int timeout_ms) const;
  // GET /Home/OperatorDeckState; a state only for status 200 exactly.
  virtual std::optional<operator_deck_state> fetch_state(const system_record& server,
                                                         const std::string& session_id,
                                                         std::int64_t since, int timeout_ms) const;
  // POST /Home/OperatorDeckKeyEvent; true for a 2xx status (the server
  // accepted the key press).
  virtual bool key_event(const system_record& server, const std::string& session_id,
                         const std::string& deck_serial, int index, bool down,
                         int timeout_ms) const;
  // POST /Home/OperatorDeckSetPage; true for a 2xx status.
  virtual bool set_page(const system_record& server, const std::string& session_id,
                        const std::string& deck_serial, int page, int timeout_ms) const;
  // POST /Home/OperatorDeckDetach; true for a 2xx status.
  virtual bool detach(const system_record& server, const std::string& session_id,
                      int timeout_ms) const;
};

// Request bodies, compact JSON with capitalised keys in a fixed order.
std::string register_decks_body(const std::string& session_id, const std::string& machine_name,
                                const std::vector<deck_info>& decks);
std::string key_event_body(const std::string& session_id, const std::string& deck_serial, int index,
                           bool down);
std::string set_page_body(const std::string& session_id, const std::string& deck_serial, int page);
std::string detach_body(const std::string& session_id);

// Reads a state answer body. Every member is accepted in both spellings
// (the lower-case one wins for single values; for arrays the capitalised
// one is read first). Missing members take their defaults (generation:
// `since`); a key whose image is not valid Base64 is left out and reported
// on `err` with the "[streamdeck] rejected invalid Base64 image" line.
// Never fails as a whole.
operator_deck_state parse_operator_deck_state(std::string_view body, std::int64_t since,
                                              std::ostream& err);

}  // namespace tolvarine::operator_control
