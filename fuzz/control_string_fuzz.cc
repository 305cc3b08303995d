// Decodes arbitrary payload text: never crashes, and a success always
// yields 1 to 16384 bytes; text without escapes decodes to itself.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "protection/control_string.h"

using tolvarine::operator_control::decode_control_string;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string bytes;
  std::string error;
  const bool ok = decode_control_string(text, &bytes, &error);
  if (ok && (bytes.empty() || bytes.size() > 16384)) std::abort();
  if (!ok && error.empty()) std::abort();
  if (text.find('\\') == std::string_view::npos && !text.empty() && text.size() <= 16384 &&
      (!ok || bytes != text)) {
    std::abort();
  }
  return 0;
}
