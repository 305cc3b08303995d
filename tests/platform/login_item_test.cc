#include "platform/login_item.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "app/startup_options.h"
#include "platform/os_helpers.h"
#include "support/test_env.h"

namespace tolvarine::operator_control {
namespace {

TEST(LoginItemTest, QuotesTheExecutableAndTogglesTheEntryUnderXdgConfigHome) {
  const std::pair<const char*, const char*> cases[] = {
      {"/usr/bin/trc", "/usr/bin/trc"},
      {"/opt/My Apps/trc", "\"/opt/My Apps/trc\""},
      {"/opt/a\"b$c`d\\e/100%\t", "\"/opt/a\\\\\"b\\\\$c\\\\`d\\\\\\\\e/100%%\\t\""}};
  for (const auto& [path, exec] : cases) {
    EXPECT_EQ(autostart_entry(path), "[Desktop Entry]\nType=Application\nName=Tolvarine-Redundancy-Control\nExec=" +
                                         std::string(exec) + " --background\nX-GNOME-Autostart-enabled=true\nTerminal=false\n");
  }

  testing::temp_dir home, xdg;
  setenv("HOME", home.path().c_str(), 1);
  setenv("XDG_CONFIG_HOME", "relative", 1);  // not absolute: ignored
  const std::string entry = std::string("/autostart/") + kDesktopEntryId + ".desktop";
  EXPECT_EQ(login_item_path(), home.path() + "/.config" + entry);
  EXPECT_EQ(data_directory(), home.path() + "/.config/Brellin Labs/Tolvarine OperatorControl");
  setenv("XDG_CONFIG_HOME", xdg.path().c_str(), 1);
  EXPECT_EQ(data_directory(), xdg.path() + "/Brellin Labs/Tolvarine OperatorControl");
  for (bool enable : {true, true, false, false}) {
    EXPECT_TRUE(set_start_at_login(enable)) << enable;
    EXPECT_EQ(start_at_login(), enable);
  }
  ASSERT_TRUE(set_start_at_login(true));
  EXPECT_EQ(testing::read_text(xdg.path() + entry), autostart_entry(platform_executable_path()));
  EXPECT_TRUE(std::filesystem::path(platform_executable_path()).is_absolute());
  EXPECT_FALSE(std::filesystem::exists(home.path() + "/.config"));
  unsetenv("XDG_CONFIG_HOME");
}

}  // namespace
}  // namespace tolvarine::operator_control
