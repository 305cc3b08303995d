// Control strings: the payload text of an outbound action, in which a few
// escapes stand for bytes that cannot be typed (\r, \n, \t, \\, \xHH).
// Stateless and thread-safe.
#pragma once

#include <string>
#include <string_view>

namespace tolvarine::operator_control {

inline constexpr size_t kMaxControlStringBytes = 16384;

// Decodes `text` into the bytes to send. True only when the result holds 1
// to 16384 bytes; otherwise false with one sentence in *error (the first
// defect in reading order, or the size message).
[[nodiscard]] bool decode_control_string(std::string_view text, std::string* bytes,
                                         std::string* error);

}  // namespace tolvarine::operator_control
