// The pure pieces of the refresh pass: merging the pairings servers
// publish, the status log lines and the front end's labels. No I/O, no
// locks; callers pass copies of the registry.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "config/event_policy.h"
#include "config/system_record.h"
#include "platform/platform_app.h"

namespace tolvarine::operator_control {

// Merges pairings published by several servers, in discovery order: later
// non-empty fields win, an empty field never erases; the shared set comes
// from the last policy that has a Main (or the last non-empty one while no
// policy with a Main supplied one). A lone Backup with no Main named gets
// the only Main's serial.
event_policy merge_published_policies(const std::vector<event_policy>& policies);

// One signature of everything the status lines show; a change of it is
// what triggers new status lines.
std::string status_signature(bool enabled, const std::string& active_label,
                             const std::vector<system_record>& systems);

// "[status] enabled=... active=..." and one "[status] <serial> ..." line
// per server, each ending in a newline.
std::string status_lines(bool enabled, const std::string& active_label,
                         const std::vector<system_record>& systems);

// "Main: Server A - Ready", or "Main: Not configured" when unknown.
std::string server_label(const char* role_word, const std::optional<system_record>& server);

// The front end's one-line summary of the pair's synchronisation.
std::string sync_label(bool enabled, const std::string& active_label, bool policy_synchronized,
                       const std::optional<system_record>& main,
                       const std::optional<system_record>& backup);

}  // namespace tolvarine::operator_control
