#include "streamdeck/operator_deck_client.h"

#include <gtest/gtest.h>

#include <sstream>

#include "streamdeck/base64.h"

namespace tolvarine::operator_control {
namespace {

TEST(Base64, DecodesPaddingBlanksAndRejectsMalformedInput) {
  // Text and the bytes it decodes to; null: rejected.
  const std::pair<const char*, const char*> rows[] = {
      {"TWFu", "Man"}, {"TWE=", "Ma"},     {"TQ==", "M"},      {" T W\r\nF u\t", "Man"},
      {" \n\t ", ""}, {"+/+/", "\xfb\xff\xbf"}, {"TQ=a", nullptr}, {"TQ==TWFu", nullptr},
      {"TWF", nullptr}, {"=QWE", nullptr}, {"T===", nullptr}, {"-_-_", nullptr},
      {"TW\x01u", nullptr}};
  for (const auto& [text, decoded] : rows) {
    bool ok = decoded == nullptr;
    const std::vector<std::uint8_t> out = base64::decode(text, &ok);
    EXPECT_EQ(ok, decoded != nullptr) << text;
    EXPECT_EQ(std::string(out.begin(), out.end()), decoded ? decoded : "") << text;
  }
}

TEST(OperatorDeckClient, ReadsStateInBothSpellingsWithDefaults) {
  std::ostringstream err;
  operator_deck_state s = parse_operator_deck_state(R"({"generation":7})", 3, err);
  EXPECT_EQ(s.generation, 7);
  EXPECT_FALSE(s.changed);
  EXPECT_TRUE(s.decks.empty());

  s = parse_operator_deck_state(
      R"({"Generation":5,"generation":9,"Changed":true,"Decks":[)"
      R"({"Serial":"A","page":-3,"useSplash":true,"Keys":[{"Index":1,"Data":"TQ=="},{"Index":99999999999,"Data":""}],)"
      R"("keys":[{"index":4},{"index":5},{"index":6}]},)"
      R"({"serial":"B","Keys":[{"Index":2,"Data":"TWF"},{"Index":3,"Data":"!!!!"},{"Index":4,"data":"TWFu"}]}]})",
      0, err);
  EXPECT_EQ(s.generation, 9);
  EXPECT_TRUE(s.changed);
  ASSERT_EQ(s.decks.size(), 2u);
  EXPECT_EQ(s.decks[0].serial, "A");
  EXPECT_EQ(s.decks[0].page, -3);
  EXPECT_TRUE(s.decks[0].use_splash);
  ASSERT_EQ(s.decks[0].keys.size(), 2u);
  EXPECT_EQ(s.decks[0].keys[0], (operator_deck_key_image{1, {'M'}}));
  EXPECT_EQ(s.decks[0].keys[1], (operator_deck_key_image{2147483647, {}}));
  EXPECT_EQ(s.decks[1].page, 1);
  EXPECT_FALSE(s.decks[1].use_splash);
  ASSERT_EQ(s.decks[1].keys.size(), 1u);
  EXPECT_EQ(s.decks[1].keys[0], (operator_deck_key_image{4, {'M', 'a', 'n'}}));
  EXPECT_EQ(err.str(),
            "[streamdeck] rejected invalid Base64 image from server deck=B key=2\n"
            "[streamdeck] rejected invalid Base64 image from server deck=B key=3\n");

  for (const char* junk :
       {"", "not json", "{\"Decks\":[{", "{\"since\":\"x\",\"Generation\":\"x\"}"}) {
    s = parse_operator_deck_state(junk, 42, err);
    EXPECT_EQ(s.generation, 42) << junk;
    EXPECT_TRUE(s.decks.empty()) << junk;
  }
}

TEST(OperatorDeckClient, WritesExactRequestBodies) {
  deck_info d{"CL\"1", "128", "Deck", "/dev/hidraw0", 15, 72, 72, "jpeg", 180};
  EXPECT_EQ(register_decks_body("operator-control-h", "h", {}),
            R"({"SessionId":"operator-control-h","MachineName":"h","Decks":[]})");
  EXPECT_EQ(register_decks_body("s", "h", {d}),
            R"({"SessionId":"s","MachineName":"h","Decks":[{"Serial":"CL\"1","PID":"128",)"
            R"("DeviceName":"Deck","KeyCount":15,"DevicePath":"/dev/hidraw0","KeyWidth":72,)"
            R"("KeyHeight":72,"ImageFormat":"jpeg","ImageRotation":180}]})");
  EXPECT_EQ(key_event_body("s", "D", 3, true),
            R"({"SessionId":"s","Serial":"D","Index":3,"IsDown":true})");
  EXPECT_EQ(key_event_body("s", "D", 0, false),
            R"({"SessionId":"s","Serial":"D","Index":0,"IsDown":false})");
  EXPECT_EQ(set_page_body("s", "D", 2), R"({"SessionId":"s","Serial":"D","Page":2})");
  EXPECT_EQ(detach_body("s"), R"({"SessionId":"s"})");
}

}  // namespace
}  // namespace tolvarine::operator_control
