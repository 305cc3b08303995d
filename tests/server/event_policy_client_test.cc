#include "server/event_policy_client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "config/control_config.h"
#include "server/loopback_server.h"
#include "support/test_env.h"

namespace tolvarine::operator_control {
namespace {

using testing::loopback_server;
using testing::reply_with;

event_policy_system member(std::string serial, system_role role, std::string backup_for = "",
                           std::string address = "", std::string workstation = "") {
  return event_policy_system{std::move(serial), std::move(workstation), std::move(address), role,
                             std::move(backup_for)};
}

event_policy pair_policy() {
  event_policy p;
  p.enabled = true;
  p.systems = {member("A", system_role::main, "", "10.0.0.2", "WS A"),
               member("B", system_role::backup, "A", "10.0.0.3", "WS B")};
  p.shared_function_ids = {1, 2, 24};
  return p;
}

TEST(EventPolicyParsing, AcceptsBothSpellingsWithTheirFallbacks) {
  event_policy p = parse_event_policy(
      R"({"enabled":true,"systems":[{"serial":"A","role":"Main"},)"
      R"({"serial":"B","role":"Backup","backupForSerial":"A","workstationName":"W","address":"10.0.0.3"}]})");
  EXPECT_TRUE(p.enabled);
  ASSERT_EQ(p.systems.size(), 2u);
  EXPECT_EQ(p.systems[0].serial, "A");
  EXPECT_EQ(p.systems[0].role, system_role::main);
  EXPECT_EQ(p.systems[1].role, system_role::backup);
  EXPECT_EQ(p.systems[1].backup_for_serial, "A");
  EXPECT_EQ(p.systems[1].workstation, "W");
  EXPECT_EQ(p.systems[1].address, "10.0.0.3");

  EXPECT_TRUE(parse_event_policy(R"({"Systems":[{"Serial":""}]})").systems.empty());
  EXPECT_TRUE(parse_event_policy(R"({"Enabled":"yes","enabled":true})").enabled);
  EXPECT_FALSE(parse_event_policy(R"({"Enabled":false,"enabled":true})").enabled);
  EXPECT_FALSE(parse_event_policy(R"({"enabled":"true"})").enabled);
  EXPECT_FALSE(parse_event_policy("not json").enabled);
  EXPECT_EQ(parse_event_policy(R"({"Systems":[{"Serial":"X","Role":"main"}]})").systems[0].role,
            system_role::independent);

  struct row {
    const char* body;
    std::set<int> ids;
    int64_t revision;
  };
  const row rows[] = {
      {R"({"SharedFunctionIds":[3,1],"sharedFunctionIds":[9]})", {1, 3}, 0},
      {R"({"SharedFunctionIds":[],"sharedFunctionIds":[9]})", {9}, 0},
      {R"({"ReplicationRevision":12})", {}, 12},
      {R"({"ReplicationRevision":12,"replicationRevision":-4})", {}, -4},
      {R"({"ReplicationRevision":12,"replicationRevision":"x"})", {}, 12},
      {R"({"ReplicationRevision":null})", {}, 0},
      {R"({"replicationRevision":9223372036854775807})", {}, INT64_MAX},
  };
  for (const row& r : rows) {
    event_policy parsed = parse_event_policy(r.body);
    EXPECT_EQ(parsed.shared_function_ids, r.ids) << r.body;
    EXPECT_EQ(parsed.replication_revision, r.revision) << r.body;
  }
}

TEST(EventPolicyParsing, ReadsReplicationStatus) {
  replication_status s = parse_replication_status(
      R"({"Enabled":true,"Role":"Backup","LocalSerial":"B","MainSerial":"A","Revision":41,)"
      R"("revision":42,"AppliedRevision":40,"PendingMedia":3,"EventTitle":"Gala","lastError":"disk"})");
  EXPECT_TRUE(s.enabled);
  EXPECT_EQ(s.role, "Backup");
  EXPECT_EQ(s.local_serial, "B");
  EXPECT_EQ(s.main_serial, "A");
  EXPECT_EQ(s.revision, 42);
  EXPECT_EQ(s.applied_revision, 40);
  EXPECT_EQ(s.pending_media, 3);
  EXPECT_EQ(s.event_title, "Gala");
  EXPECT_EQ(s.last_error, "disk");

  replication_status empty = parse_replication_status("{}");
  EXPECT_FALSE(empty.enabled);
  EXPECT_EQ(empty.role, "");
  EXPECT_EQ(empty.revision, 0);
  EXPECT_EQ(empty.pending_media, 0);
}

TEST(EventPolicyEquivalence, ComparesFlagIdsAndSystemKeysOnly) {
  event_policy base = pair_policy();
  event_policy same = base;
  std::swap(same.systems[0], same.systems[1]);
  same.systems[0].address = "192.168.9.9";
  same.systems[1].workstation = "renamed";
  same.systems.push_back(same.systems[0]);  // duplicates do not matter
  same.replication_revision = 99;
  EXPECT_TRUE(event_policy_client::equivalent(base, same));

  event_policy role = base;
  role.systems[1].role = system_role::independent;
  event_policy backup_for = base;
  backup_for.systems[1].backup_for_serial = "C";
  event_policy ids = base;
  ids.shared_function_ids.insert(7);
  event_policy flag = base;
  flag.enabled = false;
  event_policy fewer = base;
  fewer.systems.pop_back();
  for (const event_policy* other : {&role, &backup_for, &ids, &flag, &fewer}) {
    EXPECT_FALSE(event_policy_client::equivalent(base, *other));
    EXPECT_FALSE(event_policy_client::equivalent(*other, base));
  }
}

TEST(OperatorControlValue, IsCompactJsonInFixedOrder) {
  event_policy p = pair_policy();
  p.systems[0].workstation = "Say \"hi\"";
  EXPECT_EQ(operator_control_json(p, 17),
            R"({"Enabled":true,"Systems":[{"Serial":"A","WorkstationName":"Say \"hi\"",)"
            R"("Address":"10.0.0.2","Role":"Main","BackupForSerial":""},{"Serial":"B",)"
            R"("WorkstationName":"WS B","Address":"10.0.0.3","Role":"Backup","BackupForSerial":"A"}],)"
            R"("SharedFunctionIds":[1,2,24],"ReplicationRevision":17})");
  EXPECT_EQ(operator_control_json(event_policy{}, 0),
            R"({"Enabled":false,"Systems":[],"SharedFunctionIds":[],"ReplicationRevision":0})");
}

TEST(OperatorControlValue, IsPlacedIntoTheModel) {
  struct row {
    std::string model;
    std::string expected;
  };
  const row rows[] = {
      {R"({"Name":"Show","OperatorControl":null})", R"({"Name":"Show","OperatorControl":V})"},
      {R"({"Name":"Show","OperatorControl":{"Enabled":true,"Systems":[{"a":1}]},"X":2})",
       R"({"Name":"Show","OperatorControl":V,"X":2})"},
      {R"({"operatorControl": 5 ,"X":1})", R"({"operatorControl": V,"X":1})"},
      {R"({"Name":"Show"})", R"({"Name":"Show","OperatorControl":V})"},
      {"{\"Name\":\"Show\"\n}\n", "{\"Name\":\"Show\"\n,\"OperatorControl\":V}\n"},
      {"{}", R"({"OperatorControl":V})"},
      {"{ \n }", "{ \n \"OperatorControl\":V}"},
      {"}", R"("OperatorControl":V})"},
      {R"({"a":{"b":1}})", R"({"a":{"b":1},"OperatorControl":V})"},
      {"[1,2]", ""},
      {"", ""},
  };
  for (const row& r : rows) {
    EXPECT_EQ(place_operator_control(r.model, "V"), r.expected) << r.model;
  }
}

TEST(OperatorControlValue, FormBodyIsUrlEncoded) {
  EXPECT_EQ(event_model_form(R"({"a":"b c"})"), "room=prime&data=%7B%22a%22%3A%22b+c%22%7D");
}

// A registry in a temporary folder with a stepped clock.
class PairingRegistryTest : public ::testing::Test {
 protected:
  PairingRegistryTest()
      : config_(dir_.file("operator-control.json"), [this] { return now_; }) {}

  void discover(std::vector<discovered_system> found) { config_.merge_discovered(found); }
  void age(std::chrono::seconds by) {
    now_ += by;
    config_.merge_discovered({});
  }

  testing::temp_dir dir_;
  steady_time now_ = steady_time{} + std::chrono::hours(1);
  control_config config_;
};

TEST_F(PairingRegistryTest, BuildsThePolicyFromMainAndBackupRecords) {
  discover({{"10.0.0.2", 5000, "WS A", "A"},
            {"10.0.0.4", 5000, "WS C", "C"},
            {"10.0.0.3", 5001, "WS B", "B"}});
  config_.configure_pair(true, "A", "B");
  config_.set_shared_functions({4, 2});
  event_policy p = build_controller_policy(config_);
  EXPECT_TRUE(p.enabled);
  EXPECT_EQ(p.shared_function_ids, (std::set<int>{2, 4}));
  EXPECT_EQ(p.replication_revision, 0);
  ASSERT_EQ(p.systems.size(), 2u);
  EXPECT_EQ(p.systems[0].serial, "A");
  EXPECT_EQ(p.systems[0].workstation, "WS A");
  EXPECT_EQ(p.systems[0].address, "10.0.0.2");
  EXPECT_EQ(p.systems[1].serial, "B");
  EXPECT_EQ(p.systems[1].role, system_role::backup);
  EXPECT_EQ(p.systems[1].backup_for_serial, "A");
}

TEST_F(PairingRegistryTest, SynchronizeStopsEarlyWithoutTalkingToTheMain) {
  loopback_server server(reply_with("HTTP/1.1 200 OK\r\n\r\n{}"));
  event_policy_client client;
  std::string message;

  EXPECT_FALSE(synchronize_controller_policy(config_, client, message));
  EXPECT_EQ(message, kNotConfiguredHere);
  EXPECT_EQ(config_.policy_sync_message(), kNotConfiguredHere);

  discover({{"127.0.0.1", server.port(), "WS A", "A"}, {"127.0.0.2", 5000, "WS B", "B"}});
  config_.configure_pair(true, "A", "");
  EXPECT_FALSE(synchronize_controller_policy(config_, client, message));
  EXPECT_EQ(message, kChoosePair);
  EXPECT_EQ(config_.policy_sync_message(), kChoosePair);

  config_.configure_pair(true, "A", "B");
  age(std::chrono::seconds(7));
  EXPECT_FALSE(synchronize_controller_policy(config_, client, message));
  EXPECT_EQ(message, kMainOffline);
  EXPECT_FALSE(config_.policy_synchronized());
  EXPECT_EQ(config_.policy_sync_message(), kMainOffline);
  EXPECT_TRUE(server.requests().empty());
}

TEST_F(PairingRegistryTest, AdoptsAnEnabledPairingOnlyWhenNotConfiguredHere) {
  discover({{"10.0.0.2", 5000, "WS A", "A"}, {"10.0.0.3", 5000, "WS B", "B"}});
  age(std::chrono::seconds(7));  // both offline now
  discover({{"10.0.0.2", 5000, "WS A", "A"}});  // A online again

  event_policy disabled = pair_policy();
  disabled.enabled = false;
  config_.apply_event_policy(disabled);
  EXPECT_FALSE(config_.enabled());
  EXPECT_FALSE(config_.main_system().has_value());

  event_policy p = pair_policy();
  p.systems[0].address = "10.0.0.99";      // A is online: keeps 10.0.0.2
  p.systems[1].address = "10.0.0.33";      // B is offline: moves
  p.systems[1].workstation = "";           // keeps "WS B"
  p.systems.push_back(member("N", system_role::independent, "", "10.0.0.7", "WS N"));
  config_.apply_event_policy(p);

  EXPECT_TRUE(config_.enabled());
  EXPECT_TRUE(config_.controller_configured());
  EXPECT_EQ(config_.shared_functions(), p.shared_function_ids);
  std::optional<system_record> a = config_.find("A");
  std::optional<system_record> b = config_.find("B");
  std::optional<system_record> n = config_.find("N");
  ASSERT_TRUE(a && b && n);
  EXPECT_EQ(a->role, system_role::main);
  EXPECT_EQ(a->address, "10.0.0.2");
  EXPECT_EQ(a->workstation, "WS A");
  EXPECT_EQ(b->role, system_role::backup);
  EXPECT_EQ(b->backup_for_serial, "A");
  EXPECT_EQ(b->address, "10.0.0.33");
  EXPECT_EQ(b->workstation, "WS B");
  EXPECT_EQ(n->address, "10.0.0.7");
  EXPECT_EQ(n->web_port, 5000);
  EXPECT_EQ(n->control_port, 1256);
  EXPECT_FALSE(n->online);

  // Configured now: a different pairing from the Main changes nothing.
  event_policy other = pair_policy();
  std::swap(other.systems[0].role, other.systems[1].role);
  other.systems[0].backup_for_serial = "B";
  other.systems[1].backup_for_serial = "";
  config_.apply_event_policy(other);
  EXPECT_EQ(config_.find("A")->role, system_role::main);
}

TEST_F(PairingRegistryTest, AdoptingAnIncompletePairKeepsAdopting) {
  // Roles loaded from the file without a local pairing are reset first.
  testing::write_text(config_.path(),
                      R"({"controllerConfigured":false,"systems":[)"
                      R"({"serial":"A","role":"Backup","backupForSerial":"Z"},)"
                      R"({"serial":"B","role":"Main"}]})");
  config_.load();
  ASSERT_FALSE(config_.controller_configured());

  event_policy main_only;
  main_only.enabled = true;
  main_only.systems = {member("A", system_role::main)};
  main_only.shared_function_ids = {};
  config_.apply_event_policy(main_only);
  EXPECT_TRUE(config_.enabled());
  EXPECT_FALSE(config_.controller_configured());
  EXPECT_EQ(config_.find("A")->role, system_role::main);
  EXPECT_EQ(config_.find("A")->backup_for_serial, "");
  EXPECT_EQ(config_.find("B")->role, system_role::independent);
  EXPECT_TRUE(config_.shared_functions().empty());

  config_.apply_event_policy(pair_policy());
  EXPECT_TRUE(config_.controller_configured());
  EXPECT_EQ(config_.find("B")->role, system_role::backup);
}

TEST(EventPolicyClient, ProbesIdentityByteExact) {
  event_policy_client client;
  EXPECT_FALSE(client.probe_identity("127.0.0.1", 0, "A", 200));
  EXPECT_FALSE(client.probe_identity("", 5000, "A", 200));
  EXPECT_FALSE(client.probe_identity("127.0.0.1", 5000, "", 200));

  struct row {
    std::string answer;
    bool matches;
  };
  const row rows[] = {
      {"HTTP/1.1 200 OK\r\n\r\n{\"Serial\":\"S-1\"}", true},
      {"HTTP/1.1 200 OK\r\n\r\n{\"serial\":\"S-1\"}", true},
      {"HTTP/1.1 200 OK\r\n\r\n{\"Serial\":\"s-1\"}", false},
      {"HTTP/1.1 200 OK\r\n\r\n{\"Serial\":\"\"}", false},
      {"HTTP/1.1 200 OK\r\n\r\n", false},
      {"HTTP/1.1 404 Not Found\r\n\r\n{\"Serial\":\"S-1\"}", false},
  };
  for (const row& r : rows) {
    loopback_server server(reply_with(r.answer));
    EXPECT_EQ(client.probe_identity("127.0.0.1", server.port(), "S-1", 1000), r.matches)
        << r.answer;
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests()[0],
              "GET /Home/GetOperatorControlIdentity HTTP/1.1\r\nHost: 127.0.0.1\r\n"
              "Connection: close\r\nAccept: application/json,text/plain,*/*\r\n\r\n");
  }
}

TEST(EventPolicyClient, ReadsTheWholeBodyAfterTheHeaders) {
  // The private client takes every byte after the header block: chunk size
  // lines stay in the body (and do not hide the JSON), a Content-Length does
  // not cut it.
  loopback_server server(reply_with(
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Length: 2\r\n\r\n"
      "1a\r\n{\"Enabled\":true,\"SharedFunctionIds\":[5]}\r\n0\r\n\r\n"));
  std::optional<event_policy> p = event_policy_client().fetch("localhost", server.port(), 1000);
  ASSERT_TRUE(p.has_value());
  EXPECT_TRUE(p->enabled);
  EXPECT_EQ(p->shared_function_ids, (std::set<int>{5}));

  loopback_server missing(reply_with("HTTP/1.1 500 Oops\r\n\r\n{\"Enabled\":true}"));
  EXPECT_FALSE(event_policy_client().fetch("127.0.0.1", missing.port(), 1000).has_value());
  EXPECT_FALSE(
      event_policy_client().fetch_replication_status("127.0.0.1", missing.port(), 1000));
}

}  // namespace
}  // namespace tolvarine::operator_control
