// Drives every JSON scanner with arbitrary bytes. The first byte picks how
// the rest is split into a key and a text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "config/json_util.h"

using namespace tolvarine::operator_control;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t key_len = data[0] % 16;
  std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  std::string_view key = rest.substr(0, key_len);
  std::string_view text = rest.substr(key.size());

  size_t p = json_util::value_start(text, key);
  if (p != json_util::npos && p > text.size()) __builtin_trap();
  std::string s = json_util::string_value(text, key, "fallback");
  (void)json_util::bool_value(text, key, false);
  (void)json_util::int_array(text, key);
  std::string a = json_util::array_text(text, key);
  if (!a.empty() && (a.front() != '[' || a.back() != ']')) __builtin_trap();
  for (const std::string& o : json_util::object_array(text, key)) {
    if (o.front() != '{' || o.back() != '}') __builtin_trap();
  }
  // Escaping and reading back gives the original bytes.
  std::string doc = "{\"k\":\"" + json_util::escape(text) + "\"}";
  if (json_util::string_value(doc, "k", "x") != text) __builtin_trap();
  size_t start = 0, end = 0;
  if (find_property_span(text, key, start, end) && (start >= end || end > text.size())) __builtin_trap();
  (void)first_string(text, key, "serial");
  uint16_t unit = 0;
  (void)json_util::parse_hex4(text, key_len, unit);
  return 0;
}
