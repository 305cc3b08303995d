#include "protection/json_numbers.h"

#include "config/json_util.h"

namespace tolvarine::operator_control::protection_json {

std::optional<int64_t> integer(std::string_view text, std::string_view key) {
  const std::optional<long long> value = json_util::integer_value(text, key);
  if (!value) return std::nullopt;
  return static_cast<int64_t>(*value);
}

std::optional<int32_t> integer32(std::string_view text, std::string_view key) {
  return json_util::int32_value(text, key);
}

bool starts_with(std::string_view text, std::string_view key, std::string_view word) {
  const size_t start = json_util::value_start(text, key);
  if (start == json_util::npos || start >= text.size()) return false;
  return text.substr(start).starts_with(word);
}

}  // namespace tolvarine::operator_control::protection_json
