#include "web/admin_routes.h"

#include <gtest/gtest.h>

#include "support/test_env.h"

namespace tolvarine::operator_control {
namespace {

// Numbers past the 32-bit range are "not a number", never wrapped into a
// valid index, function or port.
TEST(AdminNumberRangeTest, OutOfRangeNumbersAreNotNumbers) {
  testing::temp_dir dir;
  control_config config(dir.file("operator-control.json"));
  command_router router(config, [](const std::string&) {});
  std::vector<int> indexes;
  admin_services services;
  services.test_protection_action = [&](int index, std::string*) {
    indexes.push_back(index);
    return true;
  };
  const admin_routes routes(config, router, services, [](const std::string&) {});
  auto post = [&](const std::string& path, const std::string& body) {
    return routes.handle({"POST", path, "", body}, 5251);
  };

  (void)post("/api/protection/test", R"({"index":4294967296})");
  (void)post("/api/protection/test", R"({"index":-2147483648})");
  EXPECT_EQ(indexes, (std::vector<int>{-1, INT32_MIN}));
  EXPECT_EQ(post("/api/route", R"({"functionId":4294967297,"payload":"GO"})").status, 400);
  const uint16_t port = config.ui_port();
  (void)post("/api/configure", R"({"uiPort":4294968320})");  // 1024 if wrapped
  EXPECT_EQ(config.ui_port(), port);
  (void)post("/api/shared", R"({"ids":[4294967297,2147483647,-4294967295]})");
  EXPECT_EQ(config.shared_functions(), (std::set<int>{INT32_MAX}));
}

}  // namespace
}  // namespace tolvarine::operator_control
