// Base64 decoding of the key images the show servers send.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace tolvarine::operator_control::base64 {

// Decodes standard-alphabet Base64 (A-Z, a-z, 0-9, '+', '/') with '='
// padding required; white space anywhere is skipped. Any other character, a
// length that is not a multiple of four after the white space is dropped,
// or '=' anywhere but the end of the last group gives an empty result with
// `*ok` false. An input of nothing but white space gives an empty result
// with `*ok` true. Stateless and thread-safe.
std::vector<std::uint8_t> decode(std::string_view text, bool* ok = nullptr);

}  // namespace tolvarine::operator_control::base64
