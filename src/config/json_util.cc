#include "config/json_util.h"

#include <cstdlib>

namespace tolvarine::operator_control {
namespace {

bool is_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

int hex_digit(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decodes the string literal whose opening quote is at `quote`. False on any
// defect. On success *end is the offset of the closing quote.
bool decode_string(std::string_view text, size_t quote, std::string& out, size_t* end) {
  out.reserve(64);
  size_t i = quote + 1;
  while (i < text.size()) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '"') {
      if (end) *end = i;
      return true;
    }
    if (c != '\\') {
      out.push_back(static_cast<char>(c));
      ++i;
      continue;
    }
    if (i + 1 >= text.size()) return false;
    char e = text[i + 1];
    switch (e) {
      case '"': out.push_back('"'); break;
      case '\\': out.push_back('\\'); break;
      case '/': out.push_back('/'); break;
      case 'b': out.push_back('\b'); break;
      case 'f': out.push_back('\f'); break;
      case 'n': out.push_back('\n'); break;
      case 'r': out.push_back('\r'); break;
      case 't': out.push_back('\t'); break;
      case 'u': {
        uint16_t unit = 0;
        if (!json_util::parse_hex4(text, i + 2, unit)) return false;
        uint32_t code_point = unit;
        i += 6;
        if (unit >= 0xD800 && unit <= 0xDBFF) {
          if (i + 6 > text.size() || text[i] != '\\' || text[i + 1] != 'u') return false;
          uint16_t low = 0;
          if (!json_util::parse_hex4(text, i + 2, low)) return false;
          if (low < 0xDC00 || low > 0xDFFF) return false;
          code_point = 0x10000 + ((static_cast<uint32_t>(unit) - 0xD800) << 10) + (low - 0xDC00);
          i += 6;
        }
        if (!json_util::append_utf8(out, code_point)) return false;
        continue;
      }
      default:
        return false;
    }
    i += 2;
  }
  return false;
}

// Tracks string literals during a scan. True when the byte at `i` belongs
// to a string (its quotes included), after stepping `i` over an escaped
// byte; the caller then skips it.
bool within_string(std::string_view text, size_t& i, bool& in_string) {
  const char c = text[i];
  if (in_string) {
    if (c == '\\') {
      ++i;
    } else if (c == '"') {
      in_string = false;
    }
    return true;
  }
  if (c == '"') {
    in_string = true;
    return true;
  }
  return false;
}

// Offset just past the bracket matching the one at `open` (which must be
// `open_ch`), counting only that bracket kind and skipping strings; npos
// when the text ends first.
size_t match_bracket(std::string_view text, size_t open, char open_ch, char close_ch) {
  int depth = 0;
  bool in_string = false;
  for (size_t i = open; i < text.size(); ++i) {
    if (within_string(text, i, in_string)) continue;
    const char c = text[i];
    if (c == open_ch) {
      ++depth;
    } else if (c == close_ch) {
      if (--depth == 0) return i + 1;
    }
  }
  return json_util::npos;
}

}  // namespace

namespace json_util {

size_t value_start(std::string_view text, std::string_view key) {
  std::string pattern;
  pattern.reserve(key.size() + 2);
  pattern.push_back('"');
  pattern.append(key);
  pattern.push_back('"');
  size_t at = text.find(pattern);
  if (at == std::string_view::npos) return npos;
  size_t after = at + pattern.size();
  if (after >= text.size()) return npos;
  size_t colon = text.find(':', after);
  if (colon == std::string_view::npos) return npos;
  size_t p = colon + 1;
  while (p < text.size() && is_space(static_cast<unsigned char>(text[p]))) ++p;
  return p;
}

std::string string_value(std::string_view text, std::string_view key, std::string fallback) {
  size_t p = value_start(text, key);
  if (p == npos || p >= text.size() || text[p] != '"') return fallback;
  std::string out;
  if (!decode_string(text, p, out, nullptr)) return fallback;
  return out;
}

bool bool_value(std::string_view text, std::string_view key, bool fallback) {
  size_t p = value_start(text, key);
  if (p == npos) return fallback;
  std::string_view rest = text.substr(p);
  if (rest.substr(0, 4) == "true") return true;
  if (rest.substr(0, 5) == "false") return false;
  return fallback;
}

std::string array_text(std::string_view text, std::string_view key) {
  size_t p = value_start(text, key);
  if (p == npos || p >= text.size() || text[p] != '[' || p + 1 >= text.size()) return {};
  size_t end = match_bracket(text, p, '[', ']');
  if (end == npos) return {};
  return std::string(text.substr(p, end - p));
}

std::vector<std::string> object_array(std::string_view text, std::string_view key) {
  std::vector<std::string> objects;
  const std::string a = array_text(text, key);
  if (a.empty()) return objects;
  int depth = 0;
  size_t start = npos;
  bool in_string = false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (within_string(a, i, in_string)) continue;
    const char c = a[i];
    if (c == '{') {
      if (depth == 0) start = i;
      ++depth;
    } else if (c == '}') {
      if (depth == 1 && start != npos) {
        objects.push_back(a.substr(start, i - start + 1));
        depth = 0;
        start = npos;
      } else {
        --depth;
      }
    }
  }
  return objects;
}

std::optional<long long> integer_value(std::string_view text, std::string_view key) {
  const size_t p = value_start(text, key);
  if (p == npos || p >= text.size()) return std::nullopt;
  // strtoll needs a terminated string: copy only the bytes it could read.
  size_t end = p;
  while (end < text.size() && (is_digit(static_cast<unsigned char>(text[end])) || text[end] == '+' ||
                               text[end] == '-')) {
    ++end;
  }
  const std::string number(text.substr(p, end - p));
  char* stop = nullptr;
  const long long value = std::strtoll(number.c_str(), &stop, 10);
  if (stop == number.c_str()) return std::nullopt;
  return value;
}

std::optional<int32_t> int32_value(std::string_view text, std::string_view key) {
  const std::optional<long long> value = integer_value(text, key);
  if (!value || *value < INT32_MIN || *value > INT32_MAX) return std::nullopt;
  return static_cast<int32_t>(*value);
}

std::set<int> int_array(std::string_view text, std::string_view key) {
  std::set<int> values;
  const std::string a = array_text(text, key);
  if (a.size() < 2) return values;
  // strtol stops at the array's closing bracket at the latest.
  size_t i = 1;
  while (i < a.size()) {
    unsigned char c = static_cast<unsigned char>(a[i]);
    if (c != '-' && !is_digit(c)) {
      ++i;
      continue;
    }
    const char* p = a.c_str() + i;
    char* end = nullptr;
    long v = std::strtol(p, &end, 10);
    if (end == p) break;
    if (v >= INT32_MIN && v <= INT32_MAX) values.insert(static_cast<int>(v));
    i += static_cast<size_t>(end - p);
  }
  return values;
}

bool parse_hex4(std::string_view text, size_t offset, uint16_t& out) {
  if (offset > text.size() || text.size() - offset < 4) return false;
  uint16_t value = 0;
  for (size_t i = 0; i < 4; ++i) {
    int d = hex_digit(static_cast<unsigned char>(text[offset + i]));
    if (d < 0) return false;
    value = static_cast<uint16_t>((value << 4) | d);
  }
  out = value;
  return true;
}

bool append_utf8(std::string& out, uint32_t cp) {
  if (cp <= 0x7F) {
    out.push_back(static_cast<char>(cp));
  } else if (cp <= 0x7FF) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp <= 0xFFFF) {
    if (cp >= 0xD800 && cp <= 0xDFFF) return false;
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp <= 0x10FFFF) {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    return false;
  }
  return true;
}

std::string escape(std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(s.size() + 8);
  for (char ch : s) {
    unsigned char c = static_cast<unsigned char>(ch);
    switch (c) {
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out.push_back(kHex[c >> 4]);
          out.push_back(kHex[c & 0xF]);
        } else {
          out.push_back(ch);
        }
    }
  }
  return out;
}

bool is_closed_object(std::string_view text) {
  size_t open = 0;
  while (open < text.size() && is_space(static_cast<unsigned char>(text[open]))) ++open;
  if (open == text.size() || text[open] != '{') return false;
  size_t end = match_bracket(text, open, '{', '}');
  if (end == npos) return false;
  while (end < text.size() && is_space(static_cast<unsigned char>(text[end]))) ++end;
  return end == text.size();
}

}  // namespace json_util

bool find_property_span(std::string_view text, std::string_view key, size_t& start, size_t& end) {
  size_t p = json_util::value_start(text, key);
  if (p == json_util::npos || p >= text.size()) return false;
  size_t e = json_util::npos;
  char c = text[p];
  if (c == '{' || c == '[') {
    e = match_bracket(text, p, c, c == '{' ? '}' : ']');
  } else if (c == '"') {
    for (size_t i = p + 1; i < text.size(); ++i) {
      if (text[i] == '\\') {
        ++i;
      } else if (text[i] == '"') {
        e = i + 1;
        break;
      }
    }
  } else {
    size_t d = text.find_first_of(",}", p + 1);
    if (d != std::string_view::npos) e = d;
  }
  if (e == json_util::npos) return false;
  start = p;
  end = e;
  return true;
}

std::string first_string(std::string_view text, std::string_view key, std::string_view alternate) {
  std::string value = json_util::string_value(text, key, "");
  if (!value.empty()) return value;
  return json_util::string_value(text, alternate, "");
}

}  // namespace tolvarine::operator_control
