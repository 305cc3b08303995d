// Small JSON scanners that work on the raw text, without a document tree.
//
// A key is found by its first textual occurrence anywhere in the text, at
// any nesting depth: callers that want a key of one object in a list first
// cut the list into object texts (object_array) and look the key up there.
// Nothing here throws on malformed input; absence and malformation map to
// npos, the caller's fallback, or an empty result. Stateless and
// thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace tolvarine::operator_control {
namespace json_util {

inline constexpr size_t npos = static_cast<size_t>(-1);

// Offset of the first byte of `key`'s value (after the first ':' following
// the first `"key"`, whitespace skipped). npos when absent; text.size() when
// only whitespace follows the colon.
size_t value_start(std::string_view text, std::string_view key);

// The decoded string value, or `fallback` when absent, not a string, or
// malformed in any way (never a partial string).
std::string string_value(std::string_view text, std::string_view key, std::string fallback);

// true/false from the literal at the value's start, else `fallback`.
bool bool_value(std::string_view text, std::string_view key, bool fallback);

// The base-10 integer at the start of `key`'s value, read as strtoll reads
// it (sign allowed, clamped to 64 bits). Nothing when absent or when no
// digit can be read (a quoted number included).
std::optional<long long> integer_value(std::string_view text, std::string_view key);

// integer_value limited to 32 bits: a value outside the signed 32-bit range
// is not a number (nothing), never wrapped.
std::optional<int32_t> int32_value(std::string_view text, std::string_view key);

// Distinct integers of the key's array, sorted; values outside the 32-bit
// range are left out. Empty when absent.
std::set<int> int_array(std::string_view text, std::string_view key);

// Texts of the objects in the key's array, in order. Empty when absent.
std::vector<std::string> object_array(std::string_view text, std::string_view key);

// Raw text of the key's array, brackets included. Empty when absent or
// unterminated.
std::string array_text(std::string_view text, std::string_view key);

// True and the value of the four hex digits at `offset`, else false.
bool parse_hex4(std::string_view text, size_t offset, uint16_t& out);

// Appends the UTF-8 encoding of `code_point`; false (nothing appended) for
// surrogates and values above 0x10FFFF.
bool append_utf8(std::string& out, uint32_t code_point);

// `s` escaped for use between double quotes (no quotes added).
std::string escape(std::string_view s);

// True when `text` is one object whose top-level braces close, with only
// white space around it: a document cut short fails.
bool is_closed_object(std::string_view text);

}  // namespace json_util

// Byte span [start, end) of `key`'s raw value, for replacing it in place.
// False when absent or unterminated.
bool find_property_span(std::string_view text, std::string_view key, size_t& start, size_t& end);

// string_value of `key`, or when that is empty, of `alternate`.
std::string first_string(std::string_view text, std::string_view key, std::string_view alternate);

}  // namespace tolvarine::operator_control
