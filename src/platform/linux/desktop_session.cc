#include "platform/linux/desktop_session.h"

#include <sys/stat.h>

#include <cstdlib>
#include <string>

namespace tolvarine::operator_control {
namespace {

// GLib would start a private bus through dbus-launch when the session names
// none; a bus nobody else is on is of no use here.
bool session_bus_named() {
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (address != nullptr && *address != '\0') return true;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime == nullptr || *runtime == '\0') return false;
  struct stat st {};
  return ::stat((std::string(runtime) + "/bus").c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

}  // namespace

GDBusConnection* desktop_session_bus() {
  if (!session_bus_named()) return nullptr;
  GError* error = nullptr;
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
  if (error != nullptr) g_error_free(error);
  return bus;  // kept for the life of the process, like GLib's own reference
}

bool desktop_name_has_owner(GDBusConnection* bus, const char* name) {
  GError* error = nullptr;
  GVariant* reply = g_dbus_connection_call_sync(
      bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
      g_variant_new("(s)", name), G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, 1000, nullptr,
      &error);
  if (reply == nullptr) {
    g_error_free(error);
    return false;
  }
  gboolean owned = FALSE;
  g_variant_get(reply, "(b)", &owned);
  g_variant_unref(reply);
  return owned;
}

}  // namespace tolvarine::operator_control
