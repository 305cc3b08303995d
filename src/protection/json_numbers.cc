#include "protection/json_numbers.h"

#include <cerrno>
#include <cstdlib>
#include <string>

#include "config/json_util.h"

namespace tolvarine::operator_control::protection_json {
namespace {

bool number_byte(char c) {
  return (c >= '0' && c <= '9') || c == '+' || c == '-' || c == ' ' || (c >= '\t' && c <= '\r');
}

}  // namespace

std::optional<int64_t> integer(std::string_view text, std::string_view key) {
  const size_t start = json_util::value_start(text, key);
  if (start == json_util::npos || start >= text.size()) return std::nullopt;
  // Copy exactly the bytes strtoll could consume, so it sees a terminated
  // string without reading past the value.
  size_t end = start;
  while (end < text.size() && number_byte(text[end])) ++end;
  const std::string window(text.substr(start, end - start));
  char* stop = nullptr;
  errno = 0;
  const long long value = std::strtoll(window.c_str(), &stop, 10);
  if (stop == window.c_str()) return std::nullopt;
  return static_cast<int64_t>(value);
}

std::optional<int32_t> integer32(std::string_view text, std::string_view key) {
  const std::optional<int64_t> value = integer(text, key);
  if (!value) return std::nullopt;
  return static_cast<int32_t>(*value);
}

bool starts_with(std::string_view text, std::string_view key, std::string_view word) {
  const size_t start = json_util::value_start(text, key);
  if (start == json_util::npos || start >= text.size()) return false;
  return text.substr(start).starts_with(word);
}

}  // namespace tolvarine::operator_control::protection_json
