// The operator decks of one simulated show server: sessions that register
// their decks, a generation counter per session, pages of key images drawn
// for each deck at the size and in the format it registered, key presses
// that can turn the page, page hand-overs and detaches.
//
// A plain value with no lock of its own: the server keeps one under its
// mutex. Images are drawn once per (format, size, server, page, key) and
// kept in a bounded cache.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <vector>

namespace tolvarine::show_server_sim {

// A key image: JPEG (with a comment marker naming server, page and key) or
// an uncompressed 24-bit bottom-up BMP; the page number and the key number
// are drawn as digits on a background whose colour depends on the server
// and the page, then turned clockwise by `rotation` degrees as the deck
// asked.
std::vector<std::uint8_t> draw_key_image(const std::string& format, int width, int height,
                                         int rotation, const std::string& server, int page,
                                         int key);

std::string base64_encode(const std::vector<std::uint8_t>& bytes);

class sim_deck_sessions {
 public:
  explicit sim_deck_sessions(std::string server_serial) : server_(std::move(server_serial)) {}

  // The body of POST /Home/OperatorDeckRegister. A new session starts at
  // generation 1; a changed deck list moves the generation on; the same
  // list again (the keep-alive) changes nothing.
  void register_decks(const std::string& body);
  // The answer to a state poll: every deck of the session with every key of
  // its page when `since` differs from the session's generation, no decks
  // otherwise. An unknown session answers generation 0, unchanged.
  std::string state_json(const std::string& session, long long since, bool splash, int pages);
  // A key-down on a deck's last key turns its page (1 .. pages, wrapping).
  void key_event(const std::string& body, int pages);
  // Sets a deck's page (kept between 1 and `pages`).
  void set_page(const std::string& body, int pages);
  void detach(const std::string& body);
  // {"<session>":{"generation":G,"decks":[{"serial","keyCount","page"}]}}
  std::string summary_json() const;
  void clear();

 private:
  struct deck {
    std::string serial;
    int key_count = 0;
    int width = 0;
    int height = 0;
    std::string format;
    int rotation = 0;
    int page = 1;
  };
  struct session {
    long long generation = 0;
    std::vector<deck> decks;
  };
  deck* find_deck(const std::string& body);
  const std::string& image_text(const deck& d, int key);

  std::string server_;
  std::map<std::string, session> sessions_;
  std::map<std::tuple<std::string, int, int, int, int, int>, std::string> images_;  // Base64
};

}  // namespace tolvarine::show_server_sim
