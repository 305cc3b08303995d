#include "config/json_value.h"

#include <gtest/gtest.h>

#include "protection/protection_sample.h"

namespace tolvarine::operator_control {
namespace {

// Server outputs reach the status document only as valid, compact JSON.
TEST(StatusDocumentTest, ServerOutputsAreRewrittenOrDropped) {
  const std::pair<const char*, const char*> cases[] = {
      {R"([ {"id" : "a\u00e9\"", "n":-1.5e+3} , null,true ])",
       R"([{"id":"a\u00e9\"","n":-1.5e+3},null,true])"},
      {"[1,,]", "[]"},
      {"[01]", "[]"},
      {"[\"a\x01\"]", "[]"},
      {R"(["\x"])", "[]"},
      {R"([{"a" 1}])", "[]"},
      {R"([{"a":1,}])", "[]"},
      {"[1.]", "[]"},
      {"[-]", "[]"},
      {"[tru]", "[]"},
      {"[\"open]", "[]"},
  };
  for (const auto& [outputs, expected] : cases) {
    const std::string body = std::string(R"({"serial":"S1","version":1,"outputs":)") + outputs + "}";
    const auto sample = read_health_answer(body, "S1", 1500, steady_now());
    ASSERT_TRUE(sample) << outputs;
    EXPECT_EQ(sample->outputs, expected) << outputs;
  }
  EXPECT_TRUE(compact_json(std::string(64, '[') + std::string(64, ']')));
  EXPECT_FALSE(compact_json(std::string(66, '[') + std::string(66, ']')));
  EXPECT_FALSE(compact_json("{} x"));
}

}  // namespace
}  // namespace tolvarine::operator_control
