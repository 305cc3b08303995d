#include "platform/login_item.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "app/startup_options.h"
#include "platform/os_helpers.h"
#include "support/test_env.h"

namespace tolvarine::operator_control {
namespace {

namespace fs = std::filesystem;

TEST(LoginItemTest, QuotesTheExecutableByDesktopEntryRules) {
  const struct {
    const char* path;
    const char* exec;
  } cases[] = {
      {"/usr/bin/trc", "Exec=/usr/bin/trc --background\n"},
      {"/opt/My Apps/trc", "Exec=\"/opt/My Apps/trc\" --background\n"},
      {"/opt/a\"b$c`d/trc", "Exec=\"/opt/a\\\\\"b\\\\$c\\\\`d/trc\" --background\n"},
      {"/opt/back\\slash/100%/trc", "Exec=\"/opt/back\\\\\\\\slash/100%%/trc\" --background\n"},
      {"/opt/tab\there/trc", "Exec=\"/opt/tab\\there/trc\" --background\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(autostart_entry(c.path), std::string("[Desktop Entry]\nType=Application\nName=Tolvarine-Redundancy-Control\n") +
                                           c.exec + "X-GNOME-Autostart-enabled=true\nTerminal=false\n")
        << c.path;
  }
}

TEST(LoginItemTest, TogglesTheAutostartEntryAndFollowsXdgConfigHome) {
  testing::temp_dir home, xdg;
  setenv("HOME", home.path().c_str(), 1);
  setenv("XDG_CONFIG_HOME", "relative/config", 1);  // not absolute: ignored
  const std::string id = std::string(kDesktopEntryId) + ".desktop";
  EXPECT_EQ(login_item_path(), home.path() + "/.config/autostart/" + id);
  EXPECT_EQ(data_directory(), home.path() + "/.config/Brellin Labs/Tolvarine OperatorControl");
  setenv("XDG_CONFIG_HOME", xdg.path().c_str(), 1);
  EXPECT_EQ(data_directory(), xdg.path() + "/Brellin Labs/Tolvarine OperatorControl");
  const std::string path = login_item_path();
  EXPECT_EQ(path, xdg.path() + "/autostart/" + id);

  EXPECT_TRUE(set_start_at_login(false));  // nothing to remove
  EXPECT_FALSE(start_at_login());
  for (int i = 0; i < 2; ++i) {
    testing::write_text(path + ".tmp", "stale");
    EXPECT_TRUE(set_start_at_login(true));
    EXPECT_TRUE(start_at_login());
    EXPECT_EQ(testing::read_text(path), autostart_entry(platform_executable_path()));
    EXPECT_FALSE(fs::exists(path + ".tmp"));
  }
  EXPECT_TRUE(fs::path(platform_executable_path()).is_absolute());
  for (int i = 0; i < 2; ++i) {
    EXPECT_TRUE(set_start_at_login(false));
    EXPECT_FALSE(start_at_login());
  }
  EXPECT_FALSE(fs::exists(home.path() + "/Library"));
  EXPECT_FALSE(fs::exists(home.path() + "/.config"));
  unsetenv("XDG_CONFIG_HOME");
}

}  // namespace
}  // namespace tolvarine::operator_control
