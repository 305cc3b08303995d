#include "protection/control_string.h"

#include <gtest/gtest.h>

#include <string>

namespace tolvarine::operator_control {
namespace {

TEST(ControlStringTest, DecodesEscapesIntoBytes) {
  struct row {
    std::string text;
    std::string bytes;
  };
  const row rows[] = {
      {"abc\\r\\n", "abc\r\n"},
      {"plain text", "plain text"},
      {"\\\\", "\\"},
      {"a\\tb", "a\tb"},
      {"\\x41\\x7a\\xFF\\x00", std::string("Az\xFF\0", 4)},
  };
  for (const row& r : rows) {
    std::string bytes;
    std::string error;
    EXPECT_TRUE(decode_control_string(r.text, &bytes, &error)) << r.text << ": " << error;
    EXPECT_EQ(bytes, r.bytes) << r.text;
  }
}

TEST(ControlStringTest, RejectsBadEscapesWithTheFirstDefectsMessage) {
  struct row {
    std::string text;
    std::string error;
  };
  const row rows[] = {
      {"abc\\", "Trailing backslash in command."},
      {"\\x4", "Use two hexadecimal digits after \\x."},
      {"\\x", "Use two hexadecimal digits after \\x."},
      {"\\x4g", "Use two hexadecimal digits after \\x."},
      {"\\X41", "Supported escapes: \\r, \\n, \\t, \\\\, \\xHH."},
      {"\\q then \\", "Supported escapes: \\r, \\n, \\t, \\\\, \\xHH."},
      {"", "Command must contain 1-16384 bytes."},
  };
  for (const row& r : rows) {
    std::string bytes;
    std::string error;
    EXPECT_FALSE(decode_control_string(r.text, &bytes, &error)) << r.text;
    EXPECT_EQ(error, r.error) << r.text;
  }
}

TEST(ControlStringTest, AcceptsUpTo16384Bytes) {
  std::string text;
  for (int i = 0; i < 16384; ++i) text += "\\x00";
  std::string bytes;
  std::string error;
  ASSERT_TRUE(decode_control_string(text, &bytes, &error)) << error;
  EXPECT_EQ(bytes, std::string(16384, '\0'));

  EXPECT_FALSE(decode_control_string(text + "a", &bytes, &error));
  EXPECT_EQ(error, "Command must contain 1-16384 bytes.");
}

}  // namespace
}  // namespace tolvarine::operator_control
