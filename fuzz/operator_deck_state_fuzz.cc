// Feeds arbitrary bytes to the deck-state reader and to the Base64 decoder.
// Checks what must hold for any input: decoded images are no longer than
// three quarters of the text, a failed decode is empty, and the state never
// holds more entries than its caps.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string_view>

#include "streamdeck/base64.h"
#include "streamdeck/operator_deck_client.h"

using namespace tolvarine::operator_control;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  bool ok = false;
  const std::vector<std::uint8_t> bytes = base64::decode(text, &ok);
  if (!ok && !bytes.empty()) __builtin_trap();
  if (bytes.size() > size / 4 * 3) __builtin_trap();

  std::ostringstream err;
  const operator_deck_state state = parse_operator_deck_state(text, -5, err);
  if (state.decks.size() > kMaxStateDecks) __builtin_trap();
  for (const operator_deck_snapshot& deck : state.decks) {
    if (deck.keys.size() > kMaxStateKeys) __builtin_trap();
  }
  return 0;
}
