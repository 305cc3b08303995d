#include "config/json_util.h"

#include <gtest/gtest.h>

namespace tolvarine::operator_control {
namespace {

using json_util::npos;

TEST(JsonUtil, ValueStartFindsFirstOccurrenceAtAnyDepth) {
  EXPECT_EQ(json_util::value_start("{\"a\" : 5}", "a"), 7u);
  const std::string only_space = "{\"a\":   ";
  EXPECT_EQ(json_util::value_start(only_space, "a"), only_space.size());
  EXPECT_EQ(json_util::string_value(only_space, "a", "fb"), "fb");
  EXPECT_EQ(json_util::value_start("{\"a\"", "a"), npos);  // pattern at the very end
  EXPECT_EQ(json_util::value_start("{\"a\" 5}", "a"), npos);  // no colon
  EXPECT_EQ(json_util::string_value("{\"o\":{\"name\":\"x\"},\"name\":\"y\"}", "name", ""), "x");
  // Matching is byte-exact: the key is not escaped and case matters.
  EXPECT_EQ(json_util::string_value("{\"Name\":\"x\"}", "name", "none"), "none");
}

TEST(JsonUtil, StringValueDecodesEscapesAndRejectsEveryDefect) {
  const std::pair<const char*, const char*> decoded[] = {
      {R"({"s":"\u0041\u07FF\uAbC9\uFFFF"})", "A\xDF\xBF\xEA\xAF\x89\xEF\xBF\xBF"},
      {R"({"s":"\ud83d\ude00\udbff\udfff"})", "\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF"},
      {R"({"s":"a\"b\\c\/d\b\f\n\r\t"})", "a\"b\\c/d\b\f\n\r\t"},
      {R"({"s":""})", ""},
  };
  for (const auto& [text, value] : decoded) EXPECT_EQ(json_util::string_value(text, "s", "fb"), value) << text;
  const char* defects[] = {
      R"({"s":"\ud83d"})",       R"({"s":"\ude00"})",        R"({"s":"abc)",
      R"({"s":"a\qb"})",         R"({"s":"\u12"})",          R"({"s":"\u12g4"})",
      R"({"s":"\ud83d\u0041"})", R"({"s":"\ud83dxx\ude00"})", R"({"s":"abc\)",
      R"({"s":5})",              R"({"s":null})",
  };
  for (const char* text : defects) EXPECT_EQ(json_util::string_value(text, "s", "fb"), "fb") << text;
}

TEST(JsonUtil, BoolValueReadsOnlyTheLiteral) {
  EXPECT_TRUE(json_util::bool_value("{\"flag\":true}", "flag", false));
  EXPECT_FALSE(json_util::bool_value("{\"flag\": false}", "flag", true));
  EXPECT_TRUE(json_util::bool_value("{\"flag\":trueish}", "flag", false));
  EXPECT_TRUE(json_util::bool_value("{\"flag\": \"false\"}", "flag", true));
  EXPECT_FALSE(json_util::bool_value("{\"flag\": 1}", "flag", false));
  EXPECT_TRUE(json_util::bool_value("{\"flag\":tru", "flag", true));
  EXPECT_FALSE(json_util::bool_value("{}", "flag", false));
}

TEST(JsonUtil, ArraysHonourStringsAndNesting) {
  EXPECT_EQ(json_util::array_text(R"({"list": [1, "]", [2]], "x":1})", "list"), R"([1, "]", [2]])");
  EXPECT_EQ(json_util::array_text(R"({"list": [1, [2])", "list"), "");
  EXPECT_EQ(json_util::array_text(R"({"list": "[1]"})", "list"), "");
  EXPECT_EQ(json_util::array_text(R"({"list": [)", "list"), "");

  auto objects = json_util::object_array(R"({"systems": [{"a":{"b":1}}, 3, {"c":"}"}]})", "systems");
  ASSERT_EQ(objects.size(), 2u);
  EXPECT_EQ(objects[0], R"({"a":{"b":1}})");
  EXPECT_EQ(objects[1], R"({"c":"}"})");
  // Objects inside nested arrays count too; an escaped quote does not end a string.
  objects = json_util::object_array(R"({"s": [[{"a":"x\"}"}], {"b":2}]})", "s");
  ASSERT_EQ(objects.size(), 2u);
  EXPECT_EQ(objects[0], R"({"a":"x\"}"})");
  EXPECT_TRUE(json_util::object_array(R"({"s": {"a":1}})", "s").empty());

  EXPECT_EQ(json_util::int_array(R"({"ids": [3, -1, 3, 7]})", "ids"), (std::set<int>{-1, 3, 7}));
  EXPECT_EQ(json_util::int_array(R"({"ids": [1, -, 2]})", "ids"), (std::set<int>{1}));
  EXPECT_TRUE(json_util::int_array(R"({"ids": []})", "ids").empty());
  EXPECT_EQ(json_util::int_array(R"({"ids": ["4", 1.5]})", "ids"), (std::set<int>{1, 4, 5}));
}

TEST(JsonUtil, EscapeHandlesControlBytesOnly) {
  EXPECT_EQ(json_util::escape("a\tb\"c\x01\x1f\n\r\\/"), "a\\tb\\\"c\\u0001\\u001f\\n\\r\\\\/");
  EXPECT_EQ(json_util::escape("\x08\x7f\xC3\xA9"), "\\u0008\x7f\xC3\xA9");
}

TEST(JsonUtil, PropertySpanCoversRawValue) {
  const std::pair<const char*, const char*> rows[] = {  // text, span (nullptr: not found)
      {R"({"A":1,"OperatorControl": null })", "null "},
      {R"({"OperatorControl":{"x":[1,2]}})", R"({"x":[1,2]})"},
      {R"({"OperatorControl":{"x":"}"},"b":1})", R"({"x":"}"})"},
      {R"({"OperatorControl":[1,{"a":[2]}]})", R"([1,{"a":[2]}])"},
      {R"({"OperatorControl":"a\"b","c":1})", R"("a\"b")"},
      {R"({"OperatorControl":12])", nullptr},
      {R"({"OperatorControl":{"x":1)", nullptr},
      {R"({"OperatorControl":"abc)", nullptr},
      {R"({"OperatorControl":)", nullptr},
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

TEST(JsonUtil, FirstStringAcceptsEitherSpelling) {
  EXPECT_EQ(first_string(R"({"serial":"S1"})", "Serial", "serial"), "S1");
  EXPECT_EQ(first_string(R"({"Serial":"","serial":"S2"})", "Serial", "serial"), "S2");
  EXPECT_EQ(first_string(R"({"Serial":"S0","serial":"S2"})", "Serial", "serial"), "S0");
  EXPECT_EQ(first_string(R"({})", "Serial", "serial"), "");
}

}  // namespace
}  // namespace tolvarine::operator_control
