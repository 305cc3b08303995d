#include "streamdeck/operator_deck_client.h"

#include <gtest/gtest.h>

#include <sstream>


namespace tolvarine::operator_control {
namespace {

TEST(OperatorDeckClient, ReadsStateInBothSpellingsAndWritesExactBodies) {
  std::ostringstream err;
  operator_deck_state s = parse_operator_deck_state(
      R"({"Generation":5,"generation":9,"Changed":true,"Decks":[)"
      R"({"Serial":"A","page":-3,"useSplash":true,"Keys":[{"Index":1,"Data":"TQ=="},)"
      R"({"Index":99999999999,"Data":""}]},{"serial":"B","Keys":[{"Index":2,"Data":"TWF"},)"
      R"({"Index":4,"data":"TW/+"}]}]})",
      0, err);
  EXPECT_EQ(s.generation, 9);
  EXPECT_TRUE(s.changed);
  EXPECT_EQ(s.decks, (std::vector<operator_deck_snapshot>{
                         {"A", -3, true, {{1, {'M'}}, {2147483647, {}}}},
                         {"B", 1, false, {{4, {'M', 0x6f, 0xfe}}}}}));
  EXPECT_EQ(err.str(), "[streamdeck] rejected invalid Base64 image from server deck=B key=2\n");
  s = parse_operator_deck_state(R"({"Decks":[{)", 42, err);  // cut short
  EXPECT_TRUE(s.generation == 42 && !s.changed && s.decks.empty());

  const deck_info d{"CL\"1", "128", "Deck", "/dev/hidraw0", 15, 72, 72, "jpeg", 180};
  EXPECT_EQ(register_decks_body("s", "h", {d}),
            R"({"SessionId":"s","MachineName":"h","Decks":[{"Serial":"CL\"1","PID":"128",)"
            R"("DeviceName":"Deck","KeyCount":15,"DevicePath":"/dev/hidraw0","KeyWidth":72,)"
            R"("KeyHeight":72,"ImageFormat":"jpeg","ImageRotation":180}]})");
  EXPECT_EQ(key_event_body("s", "D", 3, false),
            R"({"SessionId":"s","Serial":"D","Index":3,"IsDown":false})");
  EXPECT_EQ(set_page_body("s", "D", 2), R"({"SessionId":"s","Serial":"D","Page":2})");
}

}  // namespace
}  // namespace tolvarine::operator_control
