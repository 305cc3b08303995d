#include "app/application.h"

#include <signal.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <memory>

#include "app/main_loop.h"
#include "app/network_refresh_services.h"
#include "app/redirected_log.h"
#include "app/refresh_cycle.h"
#include "app/single_instance.h"
#include "app/startup_options.h"
#include "config/control_config.h"
#include "platform/desktop_notices.h"
#include "platform/os_helpers.h"
#include "protection/protection_service.h"
#include "routing/command_router.h"
#include "server/event_policy_client.h"
#include "server/server_discovery.h"
#include "platform/platform_app.h"
#include "streamdeck/operator_deck_manager.h"
#include "streamdeck/streamdeck_adapter.h"
#include "web/admin_server.h"
#include "web/shell_client.h"
#include "web/shell_server.h"

namespace tolvarine::operator_control {
namespace {

// Cleared by SIGINT/SIGTERM, the front end's exit and a UI port that cannot
// be restored; ends the main loop.
std::atomic<bool> running{false};

void sig(int) { running.store(false, std::memory_order_release); }

void create_folders(const std::string& folder) {
  std::error_code ignored;
  if (!folder.empty()) std::filesystem::create_directories(folder, ignored);
}

// Copies an operator-control.json left in the working directory by an
// older version into the data folder, once. Failures are silent and the old
// file stays where it was.
void migrate_settings(const std::string& default_path) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (fs::exists(default_path, ec)) return;
  const fs::path old_file = fs::current_path(ec) / "operator-control.json";
  if (ec || !fs::is_regular_file(old_file, ec)) return;
  create_folders(fs::path(default_path).parent_path().string());
  fs::copy_file(old_file, default_path, fs::copy_options::overwrite_existing, ec);
}

}  // namespace

int run_application(int argc, char** argv) {
  if (auto text = informational_request(argc, argv)) {
    std::cout << *text << std::flush;
    return 0;
  }

  running.store(true, std::memory_order_release);
  ::signal(SIGINT, sig);
  ::signal(SIGTERM, sig);
  // A closed peer must never kill the process; every send also passes
  // MSG_NOSIGNAL, this covers the rest.
  ::signal(SIGPIPE, SIG_IGN);

  startup_options defaults;
  const std::string data_dir = data_directory();
  create_folders(data_dir);
  defaults.config_path = (std::filesystem::path(data_dir) / "operator-control.json").string();
  const startup_options options = parse_command_line(argc, argv, defaults);
  if (!options.explicit_path) migrate_settings(defaults.config_path);
  platform_prepare_console(options.console);

  const std::string folder = settings_folder(options.config_path);
  create_folders(folder);
  const std::string log_path = (std::filesystem::path(folder) / "operator-control.log").string();
  redirected_log log;
  if (!options.console) (void)log.open(log_path);

  auto config = std::make_unique<control_config>(options.config_path);
  config->load();

  single_instance instance;
  if (!instance.acquire(folder)) {
    // Another instance owns this folder: show its page and leave.
    if (!options.background || options.configure) open_shell_ui(config->ui_port(), options.configure);
    return 0;
  }

  // Built in start-up order; locals are destroyed in the reverse order.
  server_discovery discovery;
  event_policy_client policy_client;
  command_router router(*config);
  std::unique_ptr<streamdeck_adapter> streamdeck = make_streamdeck_adapter();
  protection_service protection(*config);
  admin_server admin(*config, discovery, router, policy_client, *streamdeck, protection);

  if (!admin.start(kAdminPort)) {
    std::cerr << "Unable to start Redundancy Control API on 127.0.0.1:5251" << std::endl;
    return 3;
  }
  shell_server shell;
  if (!shell.start(config->ui_port())) {
    std::cerr << "Unable to start Redundancy Control shell on 127.0.0.1:" << config->ui_port()
              << std::endl;
    admin.stop();
    return 4;
  }
  config->set_runtime_ui_port(shell.port());
  protection.start();
  if (!streamdeck->start()) {
    std::cerr << "[streamdeck] unable to initialize native HID backend" << std::endl;
  }
  operator_deck_manager deck_manager(*config, *streamdeck);
  deck_manager.start();

  std::unique_ptr<platform_app> front_end = make_platform_app();
  if (front_end) {
    control_config* cfg = config.get();
    platform_callbacks callbacks;
    callbacks.open_ui = [cfg] { open_shell_ui(cfg->ui_port(), false); };
    callbacks.configure = [cfg] { open_shell_ui(cfg->ui_port(), true); };
    callbacks.show_log = [log_path] { platform_open_path(log_path); };
    callbacks.exit_app = [] { running.store(false, std::memory_order_release); };
    if (!front_end->start(std::move(callbacks), config->ui_port(), log_path)) front_end.reset();
  }
  // Moves between Main and Backup and critical alerts reach the desktop too.
  std::unique_ptr<desktop_notifier> notifier = make_desktop_notifier();
  alert_notices notices;

  std::cout << kProgramName << " " << kProgramVersion << "\n"
            << "Operator view: " << shell_url(config->ui_port(), false) << "\n"
            << "Diagnostics:   http://127.0.0.1:5251/\n"
            << "Config:        " << options.config_path << "\n"
            << "Log:           " << log_path << std::endl;

  if (!options.background || options.configure) open_shell_ui(config->ui_port(), options.configure);

  network_refresh_services refresh_network(discovery, policy_client);
  refresh_cycle refresh(*config, refresh_network, std::cout, std::cerr);
  main_loop_context loop{.config = *config,
                         .refresh = refresh,
                         .running = running,
                         .out = std::cout,
                         .err = std::cerr,
                         .front_end = front_end.get(),
                         .deck_count = [&streamdeck] { return streamdeck->decks().size(); },
                         .restart_ui_server =
                             [&shell](uint16_t port) {
                               shell.stop();
                               return shell.start(port);
                             },
                         .bound_ui_port = shell.port(),
                         .clock = steady_now,
                         .sleep = {},
                         .after_pass = {}};
  if (notifier) {
    loop.after_pass = [&] {
      for (const desktop_notice& notice : notices.take(protection.alerts())) notifier->show(notice);
    };
  }
  run_main_loop(loop);

  // Every thread stops before the objects it uses are destroyed.
  if (front_end) front_end->stop();
  protection.stop();
  deck_manager.stop();
  streamdeck->stop();
  shell.stop();
  admin.stop();
  front_end.reset();
  return 0;
}

}  // namespace tolvarine::operator_control
