// The desktop session the tray and the notifications live in: its D-Bus
// session bus, found without ever launching one.
#pragma once

#include <gio/gio.h>

namespace tolvarine::operator_control {

// The shared session bus connection (held for the life of the process),
// or null when the session has none.
GDBusConnection* desktop_session_bus();

// Whether `name` has an owner on the bus; false on any failure. Waits at
// most 1000 ms.
bool desktop_name_has_owner(GDBusConnection* bus, const char* name);

}  // namespace tolvarine::operator_control
