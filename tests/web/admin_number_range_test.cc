#include "web/admin_routes.h"

#include <gtest/gtest.h>

#include "support/test_env.h"

namespace tolvarine::operator_control {
namespace {

// Numbers past the 32-bit range are "not a number", never wrapped into a
// valid index, function, port or shared id.
TEST(AdminNumberRangeTest, OutOfRangeNumbersAreNotNumbers) {
  testing::temp_dir dir;
  control_config config(dir.file("operator-control.json"));
  command_router router(config, [](const std::string&) {});
  std::vector<int> indexes;
  admin_services services;
  services.test_protection_action = [&](int index, std::string*) {
    return indexes.push_back(index), true;
  };
  const admin_routes routes(config, router, services, [](const std::string&) {});
  auto post = [&](const std::string& path, const std::string& body) {
    return routes.handle({"POST", path, "", body}, 5251).status;
  };
  const uint16_t port = config.ui_port();
  for (const char* index : {"4294967296", "-2147483648"}) {
    (void)post("/api/protection/test", std::string("{\"index\":") + index + "}");
  }
  EXPECT_EQ(indexes, (std::vector<int>{-1, INT32_MIN}));
  EXPECT_EQ(post("/api/route", R"({"functionId":4294967297,"payload":"GO"})"), 400);
  (void)post("/api/configure", R"({"uiPort":4294968320})");  // 1024 if wrapped
  (void)post("/api/shared", R"({"ids":[4294967297,2147483647,-4294967295]})");
  EXPECT_EQ(config.ui_port(), port);
  EXPECT_EQ(config.shared_functions(), (std::set<int>{INT32_MAX}));
}

}  // namespace
}  // namespace tolvarine::operator_control
