#include "app/refresh_status.h"

#include <gtest/gtest.h>

namespace tolvarine::operator_control {
namespace {

constexpr system_role kMain = system_role::main, kBackup = system_role::backup,
                      kIndependent = system_role::independent;

event_policy policy(std::vector<event_policy_system> systems, std::set<int> shared) {
  event_policy p;
  p.systems = std::move(systems);
  p.shared_function_ids = std::move(shared);
  return p;
}

TEST(RefreshStatus, PolicyMergeLaterNonEmptyFieldsWin) {
  event_policy merged = merge_published_policies(
      {policy({{"M", "Server A", "10.0.0.2", kMain, ""}, {"B", "", "10.0.0.3", kBackup, ""}}, {1, 2}),
       policy({{"M", "Renamed", "", kIndependent, ""}, {"B", "", "10.0.0.9", kBackup, "M"}}, {7})});
  EXPECT_TRUE(merged.enabled);
  ASSERT_EQ(merged.systems.size(), 2u);
  EXPECT_EQ(merged.systems[0].role, kMain);            // independent never overwrites
  EXPECT_EQ(merged.systems[0].address, "10.0.0.2");    // empty never erases
  EXPECT_EQ(merged.systems[0].workstation, "Renamed");
  EXPECT_EQ(merged.systems[1].address, "10.0.0.9");
  EXPECT_EQ(merged.shared_function_ids, (std::set<int>{1, 2}));  // the second has no Main

  // A lone Backup is completed with the only Main's serial.
  const event_policy x = policy({{"X", "", "", kIndependent, ""}}, {3});
  merged = merge_published_policies({x, policy({{"M", "", "", kMain, ""}, {"B", "", "", kBackup, ""}}, {})});
  EXPECT_EQ(merged.systems[2].backup_for_serial, "M");
  EXPECT_EQ(merged.shared_function_ids, (std::set<int>{3}));
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
  m.ui_ready = true;
  struct row {
    bool enabled;
    const char* active;
    bool synced, backup_ready;
    int64_t applied, main_rev;
    int pending;
    const char* label;
  } rows[] = {
      {false, "backup", true, true, 5, 5, 0, "Show Sync: Disabled"},
      {true, "main", true, false, 5, 5, 0, "Show Sync: Degraded"},
      {true, "main", true, true, 4, 5, 0, "Show Sync: Syncing 4/5"},
      {true, "main", true, true, 5, 5, 0, "Show Sync: In Sync - Rev 5"},
      {true, "main", true, true, 5, 5, 1, "Show Sync: Syncing 5/5"},
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
