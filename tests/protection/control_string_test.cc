#include "protection/control_string.h"

#include <gtest/gtest.h>

#include <string>

namespace tolvarine::operator_control {
namespace {

const char* const kHex = "Use two hexadecimal digits after \\x.";
const char* const kEscapes = "Supported escapes: \\r, \\n, \\t, \\\\, \\xHH.";
const char* const kLength = "Command must contain 1-16384 bytes.";

TEST(ControlStringTest, DecodesEscapesOrNamesTheFirstDefect) {
  std::string max_text;
  for (int i = 0; i < 16384; ++i) max_text += "\\x00";
  struct row {
    std::string text;
    bool ok;
    std::string result;  // the bytes, or the error
  };
  const row rows[] = {
      {"abc\\r\\n", true, "abc\r\n"},
      {"a\\tb \\\\", true, "a\tb \\"},
      {"\\x41\\x7a\\xFF\\x00", true, std::string("Az\xFF\0", 4)},
      {max_text, true, std::string(16384, '\0')},
      {max_text + "a", false, kLength},
      {"", false, kLength},
      {"abc\\", false, "Trailing backslash in command."},
      {"\\x4", false, kHex},
      {"\\x", false, kHex},
      {"\\x4g", false, kHex},
      {"\\X41", false, kEscapes},
      {"\\q then \\", false, kEscapes},
  };
  for (const row& r : rows) {
    std::string bytes;
    std::string error;
    const std::string label = r.text.substr(0, 40);
    ASSERT_EQ(decode_control_string(r.text, &bytes, &error), r.ok) << label << ": " << error;
    EXPECT_EQ(r.ok ? bytes : error, r.result) << label;
  }
}

}  // namespace
}  // namespace tolvarine::operator_control
