#include "platform/login_item.h"

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <utility>

#include "common/atomic_file.h"
#include "platform/os_helpers.h"

namespace tolvarine::operator_control {
namespace {

// Characters that make an Exec argument need double quotes.
constexpr std::string_view kReserved = " \t\n\"'\\><~|&;$*?#()`";
// Characters escaped with a backslash inside the quotes.
constexpr std::string_view kEscapedInQuotes = "\"`$\\";
// Field-code and string-value escapes of the whole Exec value.
constexpr std::pair<char, std::string_view> kValueEscapes[] = {
    {'%', "%%"}, {'\\', "\\\\"}, {'\n', "\\n"}, {'\t', "\\t"}, {'\r', "\\r"}};

// One Exec argument: quoted when it holds reserved characters, '%' doubled
// (field codes), then the string value escapes of the key file format.
std::string exec_argument(std::string_view argument) {
  std::string quoted;
  const bool needs_quotes =
      argument.empty() || argument.find_first_of(kReserved) != std::string_view::npos;
  if (needs_quotes) quoted += '"';
  for (char c : argument) {
    if (needs_quotes && kEscapedInQuotes.find(c) != std::string_view::npos) quoted += '\\';
    quoted += c;
  }
  if (needs_quotes) quoted += '"';
  std::string value;
  for (char c : quoted) {
    const auto escape = std::find_if(std::begin(kValueEscapes), std::end(kValueEscapes),
                                     [c](const auto& e) { return e.first == c; });
    if (escape == std::end(kValueEscapes)) {
      value += c;
    } else {
      value += escape->second;
    }
  }
  return value;
}

}  // namespace

std::string login_item_path() {
  const std::string name = std::string(kDesktopEntryId) + ".desktop";
  const std::string config_home = platform_config_home();
  if (config_home.empty()) {
    std::error_code ec;
    return (std::filesystem::current_path(ec) / name).string();
  }
  return (std::filesystem::path(config_home) / "autostart" / name).string();
}

bool start_at_login() {
  std::error_code ec;
  return std::filesystem::exists(login_item_path(), ec);
}

bool set_start_at_login(bool enable) {
  const std::string path = login_item_path();
  if (enable) {
    const std::string executable = platform_executable_path();
    return !executable.empty() && replace_file(path, autostart_entry(executable));
  }
  std::error_code ec;
  std::filesystem::remove(path, ec);
  return !std::filesystem::exists(path, ec) && !ec;
}

std::string autostart_entry(std::string_view executable) {
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Name=Tolvarine-Redundancy-Control\n"
         "Exec=" +
         exec_argument(executable) + " --background\n" +
         "X-GNOME-Autostart-enabled=true\n"
         "Terminal=false\n";
}

}  // namespace tolvarine::operator_control
