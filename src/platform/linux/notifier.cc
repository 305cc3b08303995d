// Desktop notifications through libnotify (the freedesktop notification
// service on the session bus). Main thread only; a missing or failing
// service only means no notice is shown.
#include <libnotify/notify.h>

#include "platform/desktop_notices.h"
#include "platform/linux/desktop_session.h"
#include "platform/tray_menu.h"

namespace tolvarine::operator_control {
namespace {

constexpr const char* kIconName = "tolvarine-redundancy-control";

class libnotify_notifier final : public desktop_notifier {
 public:
  explicit libnotify_notifier(GDBusConnection* bus) : bus_(bus) {}
  ~libnotify_notifier() override {
    if (notify_is_initted()) notify_uninit();
  }

  void show(const desktop_notice& notice) override {
    // Signals for earlier notices wait in the main context when no tray
    // pumps it.
    for (int i = 0; i < 256 && g_main_context_pending(nullptr); ++i) {
      g_main_context_iteration(nullptr, FALSE);
    }
    // Without a running service libnotify would wait for one to start.
    if (!desktop_name_has_owner(bus_, "org.freedesktop.Notifications")) return;
    if (!notify_is_initted() && !notify_init(kTrayTitle)) return;
    NotifyNotification* n =
        notify_notification_new(notice.title.c_str(), notice.body.c_str(), kIconName);
    notify_notification_set_urgency(
        n, notice.critical ? NOTIFY_URGENCY_CRITICAL : NOTIFY_URGENCY_NORMAL);
    GError* error = nullptr;
    if (!notify_notification_show(n, &error) && error != nullptr) g_error_free(error);
    g_object_unref(n);
  }

 private:
  GDBusConnection* bus_;
};

}  // namespace

std::unique_ptr<desktop_notifier> make_desktop_notifier() {
  GDBusConnection* bus = desktop_session_bus();
  if (bus == nullptr) return nullptr;
  return std::make_unique<libnotify_notifier>(bus);
}

}  // namespace tolvarine::operator_control
