// Number and flag readers shared by the protection parsers. They read the
// value the JSON scanners locate (first occurrence of a key anywhere) the
// way the C library does: base 10, leading sign allowed. Stateless.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace tolvarine::operator_control::protection_json {

// The base-10 integer at the value of `key` (strtoll semantics, clamped to
// 64 bits), or nothing when the key is absent, its value is past the end of
// the text, or does not start with a number (a quoted number included).
std::optional<int64_t> integer(std::string_view text, std::string_view key);

// The same limited to 32 bits: a value outside that range is not a number.
std::optional<int32_t> integer32(std::string_view text, std::string_view key);

// True when the value of `key` starts with the bytes `word` ("true" or
// "false"); false when absent.
bool starts_with(std::string_view text, std::string_view key, std::string_view word);

}  // namespace tolvarine::operator_control::protection_json
