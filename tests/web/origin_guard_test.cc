#include "web/origin_guard.h"

#include <gtest/gtest.h>

namespace tolvarine::operator_control {
namespace {

TEST(OriginGuardTest, AllowsOnlyTheLocalPagesAndLoopbackHosts) {
  const std::pair<std::string, bool> cases[] = {
      {"", true},
      {"Host: localhost", true},
      {"Host: [::1]:5251", true},
      {"Host: 127.0.0.1\r\nOrigin: http://127.0.0.1:5300", true},
      {"Origin: http://localhost:5300", true},
      {"Origin: http://localhost:5251\r\nHost: localhost:5251", true},
      {"Origin: http://evil.example", false},
      {"Origin: null", false},
      {"Origin: ", false},
      {"Origin: http://127.0.0.1:5270", false},  // not the configured UI port
      {"Origin: https://127.0.0.1:5300", false},
      {"Origin: http://127.0.0.1:5300/", false},
      {"Origin: http://127.0.0.1:5300\r\nOrigin: http://evil.example", false},
      {"Host: 127.0.0.1:5300", false},
      {"Host: 127.0.0.2", false},
      {"Host: localhost.evil.example", false},
      {"Host: ", false},
  };
  for (const auto& [headers, allowed] : cases) {
    EXPECT_EQ(check_request_origin(headers, 5300, 5251).allowed, allowed) << headers;
  }
}

TEST(OriginGuardTest, LogsTheRefusedValuesOnOneLine) {
  origin_check check = check_request_origin("Host: evil.example:5251\r\nOrigin: null", 5270, 5251);
  EXPECT_FALSE(check.allowed);
  EXPECT_EQ(refusal_log_line(check), "[admin] refused origin=null host=evil.example:5251");
  check = check_request_origin("Origin: http://127.0.0.1:5270\r\nOrigin: http://a\nb", 5270, 5251);
  EXPECT_EQ(refusal_log_line(check), "[admin] refused origin=http://a?b host=");
}

}  // namespace
}  // namespace tolvarine::operator_control
