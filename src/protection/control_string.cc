#include "protection/control_string.h"

namespace tolvarine::operator_control {
namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool fail(std::string* error, const char* message) {
  if (error) *error = message;
  return false;
}

}  // namespace

bool decode_control_string(std::string_view text, std::string* bytes, std::string* error) {
  std::string& out = *bytes;
  out.clear();
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c != '\\') {
      out.push_back(c);
      continue;
    }
    if (i + 1 >= text.size()) return fail(error, "Trailing backslash in command.");
    const char e = text[++i];
    switch (e) {
      case 'r': out.push_back('\r'); break;
      case 'n': out.push_back('\n'); break;
      case 't': out.push_back('\t'); break;
      case '\\': out.push_back('\\'); break;
      case 'x': {
        const int high = i + 1 < text.size() ? hex_value(text[i + 1]) : -1;
        const int low = i + 2 < text.size() ? hex_value(text[i + 2]) : -1;
        if (high < 0 || low < 0) return fail(error, "Use two hexadecimal digits after \\x.");
        out.push_back(static_cast<char>(high * 16 + low));
        i += 2;
        break;
      }
      default:
        return fail(error, "Supported escapes: \\r, \\n, \\t, \\\\, \\xHH.");
    }
  }
  if (out.empty() || out.size() > kMaxControlStringBytes) {
    return fail(error, "Command must contain 1-16384 bytes.");
  }
  return true;
}

}  // namespace tolvarine::operator_control
