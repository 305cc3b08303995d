#include "streamdeck/base64.h"

#include <string>

namespace tolvarine::operator_control::base64 {
namespace {

// 0-63 for alphabet characters, 64 for '=', -1 for anything else.
int symbol_value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  if (c == '=') return 64;
  return -1;
}

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

}  // namespace

std::vector<std::uint8_t> decode(std::string_view text, bool* ok) {
  if (ok != nullptr) *ok = false;
  std::string symbols;
  symbols.reserve(text.size());
  for (char c : text) {
    if (is_blank(c)) continue;
    const int v = symbol_value(c);
    if (v < 0) return {};
    symbols.push_back(static_cast<char>(v));
  }
  if (symbols.empty()) {
    if (ok != nullptr) *ok = true;
    return {};
  }
  if (symbols.size() % 4 != 0) return {};

  std::vector<std::uint8_t> out;
  out.reserve(symbols.size() / 4 * 3);
  for (size_t at = 0; at < symbols.size(); at += 4) {
    const int c0 = symbols[at], c1 = symbols[at + 1], c2 = symbols[at + 2], c3 = symbols[at + 3];
    const bool last = at + 4 == symbols.size();
    if (c0 == 64 || c1 == 64) return {};
    if ((c2 == 64 || c3 == 64) && !last) return {};
    if (c2 == 64 && c3 != 64) return {};
    const unsigned bits = (static_cast<unsigned>(c0) << 18) | (static_cast<unsigned>(c1) << 12) |
                          (static_cast<unsigned>(c2 & 63) << 6) | static_cast<unsigned>(c3 & 63);
    out.push_back(static_cast<std::uint8_t>(bits >> 16));
    if (c2 != 64) out.push_back(static_cast<std::uint8_t>(bits >> 8));
    if (c3 != 64) out.push_back(static_cast<std::uint8_t>(bits));
  }
  if (ok != nullptr) *ok = true;
  return out;
}

}  // namespace tolvarine::operator_control::base64
