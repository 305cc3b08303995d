// The Linux front end: a StatusNotifierItem through libayatana-appindicator
// (GTK 3), shown by the tray of KDE, XFCE, Cinnamon, MATE and GNOME with the
// AppIndicator extension. The tray host reads the menu over D-Bus.
//
// Not thread-safe: the main thread creates, pumps, updates and stops it,
// and owns GLib's default main context. Menu activations are queued while
// events are dispatched and run after the queue is drained, so a callback
// that blocks (opening the page waits for the browser hand-off) never runs
// inside a D-Bus dispatch and never sees its own menu replaced under it.
#include <gtk/gtk.h>
#include <libayatana-appindicator/app-indicator.h>

#include <chrono>
#include <iostream>
#include <thread>
#include <vector>

#include "config/control_config.h"
#include "platform/linux/desktop_session.h"
#include "platform/login_item.h"
#include "platform/platform_app.h"
#include "platform/tray_menu.h"

namespace tolvarine::operator_control {
namespace {

constexpr const char* kIndicatorId = "tolvarine-redundancy-control";
constexpr const char* kIconName = "tolvarine-redundancy-control";
constexpr const char* kWatcherName = "org.kde.StatusNotifierWatcher";
// Events dispatched per pump at most, so a flood never stalls the loop.
constexpr int kMaxEventsPerPump = 256;
// How long start() lets the tray host take the item and read its menu.
constexpr auto kRegisterWait = std::chrono::milliseconds(2000);

class linux_tray_app final : public platform_app {
 public:
  ~linux_tray_app() override { stop(); }

  bool start(platform_callbacks callbacks, uint16_t ui_port, std::string log_path) override {
    callbacks_ = std::move(callbacks);
    ui_port_ = ui_port;
    log_path_ = std::move(log_path);
    indicator_ =
        app_indicator_new(kIndicatorId, kIconName, APP_INDICATOR_CATEGORY_APPLICATION_STATUS);
    app_indicator_set_title(indicator_, kTrayTitle);
    g_signal_connect(indicator_, APP_INDICATOR_SIGNAL_CONNECTION_CHANGED,
                     G_CALLBACK(&linux_tray_app::on_connection_changed), this);
    rebuild_menu();
    app_indicator_set_status(indicator_, APP_INDICATOR_STATUS_ACTIVE);
    // The item registers asynchronously; let the host take it (and read the
    // menu) now, so the icon is there before start-up goes on.
    const auto give_up = std::chrono::steady_clock::now() + kRegisterWait;
    while (!host_answered_ && std::chrono::steady_clock::now() < give_up) {
      if (!g_main_context_iteration(nullptr, FALSE)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    }
    return true;
  }

  void pump() override {
    for (int i = 0; i < kMaxEventsPerPump && g_main_context_pending(nullptr); ++i) {
      g_main_context_iteration(nullptr, FALSE);
    }
    std::vector<tray_action> actions;
    actions.swap(queued_);
    for (tray_action action : actions) run(action);
  }

  void update_status(const platform_status& status) override {
    if (status.main_label == status_.main_label && status.backup_label == status_.backup_label &&
        status.sync_label == status_.sync_label && status.deck_count == status_.deck_count) {
      return;
    }
    status_ = status;
    rebuild_menu();
  }

  void set_ui_port(uint16_t port) override { ui_port_ = port; }

  bool start_at_login() const override { return operator_control::start_at_login(); }

  void set_start_at_login(bool enable) override {
    (void)operator_control::set_start_at_login(enable);  // the check mark shows the outcome
  }

  void stop() override {
    queued_.clear();
    if (indicator_ != nullptr) {
      g_signal_handlers_disconnect_by_data(indicator_, this);
      app_indicator_set_status(indicator_, APP_INDICATOR_STATUS_PASSIVE);
      g_object_unref(indicator_);
      indicator_ = nullptr;
    }
    drop_menu();
  }

 private:
  static void on_connection_changed(AppIndicator*, gboolean, gpointer self) {
    static_cast<linux_tray_app*>(self)->host_answered_ = true;
  }

  static void on_activate(GtkMenuItem* item, gpointer self) {
    const auto action =
        static_cast<tray_action>(GPOINTER_TO_INT(g_object_get_data(G_OBJECT(item), "action")));
    static_cast<linux_tray_app*>(self)->queued_.push_back(action);
  }

  void run(tray_action action) {
    const std::function<void()>* callback = nullptr;
    switch (action) {
      case tray_action::open_ui:
        callback = &callbacks_.open_ui;
        break;
      case tray_action::configure:
        callback = &callbacks_.configure;
        break;
      case tray_action::show_log:
        callback = &callbacks_.show_log;
        break;
      case tray_action::exit_app:
        callback = &callbacks_.exit_app;
        break;
      case tray_action::toggle_start:
        set_start_at_login(!start_at_login());
        rebuild_menu();
        return;
      case tray_action::none:
        return;
    }
    if (callback != nullptr && *callback) (*callback)();
  }

  // Builds the menu whole and hands it to the indicator, which exports it.
  void rebuild_menu() {
    if (indicator_ == nullptr) return;
    GtkWidget* menu = gtk_menu_new();
    for (const tray_menu_entry& entry : tray_menu_entries(status_, start_at_login())) {
      GtkWidget* item = nullptr;
      switch (entry.type) {
        case tray_menu_entry::kind::separator:
          item = gtk_separator_menu_item_new();
          break;
        case tray_menu_entry::kind::check:
          item = gtk_check_menu_item_new_with_label(entry.label.c_str());
          gtk_check_menu_item_set_active(GTK_CHECK_MENU_ITEM(item), entry.checked);
          break;
        case tray_menu_entry::kind::command:
        case tray_menu_entry::kind::text:
          item = gtk_menu_item_new_with_label(entry.label.c_str());
          break;
      }
      gtk_widget_set_sensitive(item, entry.action != tray_action::none ||
                                         entry.type == tray_menu_entry::kind::separator);
      if (entry.action != tray_action::none) {
        g_object_set_data(G_OBJECT(item), "action",
                          GINT_TO_POINTER(static_cast<int>(entry.action)));
        g_signal_connect(item, "activate", G_CALLBACK(&linux_tray_app::on_activate), this);
      }
      gtk_menu_shell_append(GTK_MENU_SHELL(menu), item);
      gtk_widget_show(item);
    }
    g_object_ref_sink(menu);
    app_indicator_set_menu(indicator_, GTK_MENU(menu));
    drop_menu();
    menu_ = menu;
  }

  void drop_menu() {
    if (menu_ == nullptr) return;
    gtk_widget_destroy(menu_);
    g_object_unref(menu_);
    menu_ = nullptr;
  }

  platform_callbacks callbacks_;
  platform_status status_;
  uint16_t ui_port_ = kDefaultUiPort;
  std::string log_path_;
  AppIndicator* indicator_ = nullptr;
  GtkWidget* menu_ = nullptr;  // our reference to the exported menu
  bool host_answered_ = false;
  std::vector<tray_action> queued_;  // activations seen during the last dispatch
};

// Why the tray cannot be shown, or empty when it can.
std::string tray_unavailable_reason() {
  // The bus first: without one, GTK's accessibility bridge would launch one.
  GDBusConnection* bus = desktop_session_bus();
  if (bus == nullptr) return "no D-Bus session bus";
  // The program's number formatting must not follow the desktop's locale.
  gtk_disable_setlocale();
  if (!gtk_init_check(nullptr, nullptr)) return "no display";
  if (!desktop_name_has_owner(bus, kWatcherName)) return "no tray host";
  return {};
}

}  // namespace

std::unique_ptr<platform_app> make_platform_app() {
  const std::string reason = tray_unavailable_reason();
  if (!reason.empty()) {
    std::cout << "[tray] desktop tray unavailable (" << reason << "); running without it"
              << std::endl;
    return nullptr;
  }
  return std::make_unique<linux_tray_app>();
}

}  // namespace tolvarine::operator_control
