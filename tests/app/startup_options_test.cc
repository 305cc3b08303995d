#include "app/startup_options.h"

#include <gtest/gtest.h>

#include <vector>

namespace tolvarine::operator_control {
namespace {

startup_options parse(std::vector<const char*> args) {
  args.insert(args.begin(), "prog");
  startup_options defaults;
  defaults.config_path = "/default/operator-control.json";
  return parse_command_line(static_cast<int>(args.size()), const_cast<char**>(args.data()), defaults);
}

TEST(StartupOptions, ConfigPathFormsAndPrecedence) {
  struct row {
    std::vector<const char*> args;
    const char* path;
    bool explicit_path;
  } rows[] = {
      {{}, "/default/operator-control.json", false},
      {{"--config"}, "/default/operator-control.json", false},  // last argument: ignored
      {{"--config="}, "", true},
      {{"--config", "/a.json", "bare.json"}, "/a.json", true},
      {{"bare.json", "--config=/c.json"}, "/c.json", true},
      {{"--config", "--console"}, "--console", true},  // the next argument is consumed
      {{"", "-x", "--unknown", "--Console"}, "/default/operator-control.json", false},
  };
  for (const auto& r : rows) {
    const startup_options o = parse(r.args);
    EXPECT_EQ(o.config_path, r.path) << ::testing::PrintToString(r.args);
    EXPECT_EQ(o.explicit_path, r.explicit_path) << ::testing::PrintToString(r.args);
  }
}

TEST(StartupOptions, FlagsAndInformationalRequests) {
  startup_options o = parse({"--console", "--background", "--configure"});
  EXPECT_TRUE(o.console && o.background && o.configure);
  o = parse({"--Console", "--background=1"});
  EXPECT_FALSE(o.console || o.background || o.configure);

  const char* version[] = {"prog", "x.json", "--version"};
  EXPECT_EQ(informational_request(3, const_cast<char**>(version)), "Tolvarine-Redundancy-Control 0.9.2\n");
  const char* help[] = {"prog", "--help"};
  EXPECT_NE(informational_request(2, const_cast<char**>(help)).value_or("").find("--configure"), std::string::npos);
  EXPECT_EQ(settings_folder("/x/y/settings.json"), "/x/y");
}

}  // namespace
}  // namespace tolvarine::operator_control
