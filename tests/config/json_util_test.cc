#include "config/json_util.h"

#include <gtest/gtest.h>

namespace tolvarine::operator_control {
namespace {

using json_util::npos;

TEST(JsonUtil, ValueStartFindsFirstOccurrenceAtAnyDepth) {
  EXPECT_EQ(json_util::value_start("{\"a\" : 5}", "a"), 7u);
  EXPECT_EQ(json_util::string_value("{\"a\":   ", "a", "fb"), "fb");
  EXPECT_EQ(json_util::value_start("{\"a\"", "a"), npos);  // pattern at the very end
  EXPECT_EQ(json_util::string_value("{\"o\":{\"name\":\"x\"},\"name\":\"y\"}", "name", ""), "x");
  // Matching is byte-exact: the key is not escaped and case matters.
  EXPECT_EQ(json_util::string_value("{\"Name\":\"x\"}", "name", "none"), "none");
}

TEST(JsonUtil, StringValueDecodesEscapesAndRejectsEveryDefect) {
  const std::pair<const char*, const char*> decoded[] = {
      {R"({"s":"\u0041\u07FF\uAbC9\uFFFF"})", "A\xDF\xBF\xEA\xAF\x89\xEF\xBF\xBF"},
      {R"({"s":"\ud83d\ude00"})", "\xF0\x9F\x98\x80"},
      {R"({"s":"a\"b\\c\/d\b\f\n\r\t"})", "a\"b\\c/d\b\f\n\r\t"},
  };
  for (const auto& [text, value] : decoded) EXPECT_EQ(json_util::string_value(text, "s", "fb"), value) << text;
  const char* defects[] = {
      R"({"s":"\ud83d"})",       R"({"s":"\ude00"})",        R"({"s":"abc)",
      R"({"s":"a\qb"})",         R"({"s":"\u12g4"})",        R"({"s":"\ud83d\u0041"})",
      R"({"s":"\ud83dxx\ude00"})", R"({"s":"abc\)",          R"({"s":5})",
  };
  for (const char* text : defects) EXPECT_EQ(json_util::string_value(text, "s", "fb"), "fb") << text;
}

TEST(JsonUtil, BoolValueReadsOnlyTheLiteralAndFirstStringEitherSpelling) {
  EXPECT_TRUE(json_util::bool_value(R"({"flag":trueish})", "flag", false));
  EXPECT_FALSE(json_util::bool_value(R"({"flag": false})", "flag", true));
  for (const char* text : {R"({"flag": "false"})", R"({"flag":tru)", "{}"}) {
    EXPECT_TRUE(json_util::bool_value(text, "flag", true)) << text;
  }
  EXPECT_EQ(first_string(R"({"Serial":"","serial":"S2"})", "Serial", "serial"), "S2");
  EXPECT_EQ(first_string(R"({"Serial":"S0","serial":"S2"})", "Serial", "serial"), "S0");
}

TEST(JsonUtil, ArraysHonourStringsAndNesting) {
  EXPECT_EQ(json_util::array_text(R"({"list": [1, "]", [2]], "x":1})", "list"), R"([1, "]", [2]])");
  for (const char* text : {R"({"list": [1, [2])", R"({"list": "[1]"})", R"({"list": [)"}) {
    EXPECT_EQ(json_util::array_text(text, "list"), "") << text;
  }

  using strings = std::vector<std::string>;
  EXPECT_EQ(json_util::object_array(R"({"systems": [{"a":{"b":1}}, 3, {"c":"}"}]})", "systems"),
            (strings{R"({"a":{"b":1}})", R"({"c":"}"})"}));
  // Objects inside nested arrays count too; an escaped quote does not end a string.
  EXPECT_EQ(json_util::object_array(R"({"s": [[{"a":"x\"}"}], {"b":2}]})", "s"),
            (strings{R"({"a":"x\"}"})", R"({"b":2})"}));
  EXPECT_TRUE(json_util::object_array(R"({"s": {"a":1}})", "s").empty());

  EXPECT_EQ(json_util::int_array(R"({"ids": [3, -1, 3, 7]})", "ids"), (std::set<int>{-1, 3, 7}));
  EXPECT_EQ(json_util::int_array(R"({"ids": [1, -, 2]})", "ids"), (std::set<int>{1}));
  EXPECT_EQ(json_util::int_array(R"({"ids": ["4", 1.5]})", "ids"), (std::set<int>{1, 4, 5}));
}

TEST(JsonUtil, EscapeHandlesControlBytesOnly) {
  EXPECT_EQ(json_util::escape("a\tb\"c\x01\x1f\n\r\\/"), "a\\tb\\\"c\\u0001\\u001f\\n\\r\\\\/");
}

TEST(JsonUtil, PropertySpanCoversRawValue) {
  const std::pair<const char*, const char*> rows[] = {  // text, span (nullptr: not found)
      {R"({"A":1,"OperatorControl": null })", "null "},
      {R"({"OperatorControl":{"x":[1,2]}})", R"({"x":[1,2]})"},
      {R"({"OperatorControl":{"x":"}"},"b":1})", R"({"x":"}"})"},
      {R"({"OperatorControl":[1,{"a":[2]}]})", R"([1,{"a":[2]}])"},
      {R"({"OperatorControl":{"x":1)", nullptr},
      {R"({"OperatorControl":"abc)", nullptr},
      {R"({"Other":1})", nullptr},
  };
  for (const auto& [text, span] : rows) {
    size_t start = 0, end = 0;
    const bool found = find_property_span(text, "OperatorControl", start, end);
    ASSERT_EQ(found, span != nullptr) << text;
    if (!found) continue;
    EXPECT_EQ(std::string_view(text).substr(start, end - start), span) << text;
  }
}

}  // namespace
}  // namespace tolvarine::operator_control
