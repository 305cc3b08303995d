#include "app/refresh_status.h"

#include <gtest/gtest.h>

namespace tolvarine::operator_control {
namespace {

event_policy_system sys(std::string serial, system_role role, std::string address = "",
                        std::string backup_for = "", std::string workstation = "") {
  return {std::move(serial), std::move(workstation), std::move(address), role, std::move(backup_for)};
}

TEST(RefreshStatus, PolicyMergeLaterNonEmptyFieldsWin) {
  event_policy first;
  first.systems = {sys("M", system_role::main, "10.0.0.2", "", "Server A"),
                   sys("B", system_role::backup, "10.0.0.3")};
  first.shared_function_ids = {1, 2};
  event_policy second;
  second.systems = {sys("M", system_role::independent, "", "", "Renamed"),
                    sys("B", system_role::backup, "10.0.0.9", "M")};
  second.shared_function_ids = {7};  // no Main in this policy: the first's set stands

  event_policy merged = merge_published_policies({first, second});
  EXPECT_TRUE(merged.enabled);
  ASSERT_EQ(merged.systems.size(), 2u);
  EXPECT_EQ(merged.systems[0].role, system_role::main);  // independent never overwrites
  EXPECT_EQ(merged.systems[0].address, "10.0.0.2");      // empty never erases
  EXPECT_EQ(merged.systems[0].workstation, "Renamed");
  EXPECT_EQ(merged.systems[1].address, "10.0.0.9");
  EXPECT_EQ(merged.shared_function_ids, (std::set<int>{1, 2}));

  // Without any Main the last non-empty set is taken; a lone Backup is
  // completed with the only Main's serial.
  event_policy a, b, c;
  a.systems = {sys("X", system_role::independent)};
  a.shared_function_ids = {3};
  b.systems = {sys("Y", system_role::independent)};
  b.shared_function_ids = {4};
  EXPECT_EQ(merge_published_policies({a, b}).shared_function_ids, (std::set<int>{4}));
  c.systems = {sys("M", system_role::main), sys("B", system_role::backup)};
  merged = merge_published_policies({a, c});
  EXPECT_EQ(merged.systems[2].backup_for_serial, "M");
  EXPECT_EQ(merged.shared_function_ids, (std::set<int>{3}));
}

TEST(RefreshStatus, StatusLinesAndSignature) {
  system_record m;
  m.serial = "M1";
  m.address = "10.77.0.2";
  m.role = system_role::main;
  m.online = true;
  system_record b = m;
  b.serial = "B1";
  b.role = system_role::backup;
  b.backup_for_serial = "M1";
  b.web_port = 5001;
  b.ui_ready = true;
  EXPECT_EQ(status_lines(true, "main", {m, b}),
            "[status] enabled=true active=main\n"
            "[status] M1 role=Main online=true uiReady=false address=10.77.0.2 web=5000 control=1256\n"
            "[status] B1 role=Backup online=true uiReady=true address=10.77.0.2 web=5001 control=1256 "
            "backupFor=M1\n");
  EXPECT_EQ(status_lines(false, "none", {}), "[status] enabled=false active=none\n");

  const std::string before = status_signature(true, "main", {m, b});
  system_record changed = m;
  changed.replication_revision = 42;  // replication never triggers status lines
  EXPECT_EQ(status_signature(true, "main", {changed, b}), before);
  changed.ui_ready = true;
  EXPECT_NE(status_signature(true, "main", {changed, b}), before);
}

TEST(RefreshStatus, FrontEndLabels) {
  system_record main;
  main.serial = "M1";
  main.workstation = "Server A";
  main.online = true;
  EXPECT_EQ(server_label("Main", main), "Main: Server A - Starting");
  main.workstation = "";
  main.ui_ready = true;
  EXPECT_EQ(server_label("Main", main), "Main: M1 - Ready");
  main.online = main.ui_ready = false;
  EXPECT_EQ(server_label("Main", main), "Main: M1 - Offline");
  EXPECT_EQ(server_label("Backup", std::nullopt), "Backup: Not configured");

  system_record m, b;
  m.ui_ready = b.ui_ready = true;
  m.replication_revision = 5;
  b.replication_applied_revision = 4;
  struct row {
    bool enabled;
    const char* active;
    bool synced;
    bool backup_ready;
    int64_t applied;
    int64_t main_rev;
    int pending;
    const char* label;
  } rows[] = {
      {false, "backup", true, true, 5, 5, 0, "Show Sync: Disabled"},
      {true, "backup", false, true, 5, 5, 0, "Show Sync: Backup Active"},
      {true, "main", false, true, 5, 5, 0, "Show Sync: Pairing Pending"},
      {true, "main", true, false, 5, 5, 0, "Show Sync: Degraded"},
      {true, "main", true, true, 4, 5, 0, "Show Sync: Syncing 4/5"},
      {true, "main", true, true, 5, 5, 0, "Show Sync: In Sync - Rev 5"},
      {true, "main", true, true, 1, 1, 0, "Show Sync: In Sync - Rev 1"},
      {true, "main", true, true, 5, 5, 1, "Show Sync: Syncing 5/5"},
      {true, "main", true, true, 0, 0, 0, "Show Sync: Syncing 0/0"},
  };
  for (const auto& r : rows) {
    m.replication_revision = r.main_rev;
    b.replication_applied_revision = r.applied;
    b.replication_pending_media = r.pending;
    b.ui_ready = r.backup_ready;
    EXPECT_EQ(sync_label(r.enabled, r.active, r.synced, m, b), r.label) << r.label;
  }
  EXPECT_EQ(sync_label(true, "main", true, m, std::nullopt), "Show Sync: Degraded");
}

}  // namespace
}  // namespace tolvarine::operator_control
