// A strict check of one JSON value, giving it back in compact form: the
// way server data copied into our own documents is made safe to embed.
//
// Stateless and thread-safe. Failure is an empty optional: anything that
// is not exactly one JSON value (RFC 8259 grammar; raw control characters
// in strings, bad escapes, trailing bytes or nesting deeper than
// kMaxJsonDepth all refuse it).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tolvarine::operator_control {

inline constexpr size_t kMaxJsonDepth = 64;

// The value without white space between tokens; strings and numbers are
// kept byte for byte.
std::optional<std::string> compact_json(std::string_view text);

}  // namespace tolvarine::operator_control
