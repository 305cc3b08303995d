#include "server/event_policy_client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "config/control_config.h"
#include "server/loopback_server.h"
#include "support/test_env.h"

namespace tolvarine::operator_control {
namespace {

using namespace std::chrono_literals;
using testing::loopback_server;
using testing::reply_with;

// "A Main for  at 10.0.0.2 ws WS A": one line per server to compare.
template <typename server>
std::string describe(const server& s) {
  return s.serial + " " + std::string(role_file_name(s.role)) + " for " + s.backup_for_serial +
         " at " + s.address + " ws " + s.workstation;
}

// "on #1 #3 rev 12; <describe of each system>".
std::string summary(const event_policy& p) {
  std::string text = p.enabled ? "on" : "off";
  for (int id : p.shared_function_ids) text += " #" + std::to_string(id);
  text += " rev " + std::to_string(p.replication_revision);
  for (const event_policy_system& s : p.systems) text += "; " + describe(s);
  return text;
}

event_policy pair_policy(const std::string& backup = "B") {
  return {true,
          {{"A", "WS A", "10.0.0.2", system_role::main, ""},
           {backup, "WS B", "10.0.0.3", system_role::backup, "A"}},
          {1, 2, 24}, 0};
}

TEST(EventPolicyParsing, AcceptsBothSpellingsWithTheirFallbacks) {
  const std::pair<std::string, std::string> rows[] = {
      {R"({"enabled":true,"systems":[{"serial":"A","role":"Main"},{"serial":"B","role":"Backup",)"
       R"("backupForSerial":"A","workstationName":"W","address":"10.0.0.3"}]})",
       "on rev 0; A Main for  at  ws ; B Backup for A at 10.0.0.3 ws W"},
      {R"({"Systems":[{"Serial":""}]})", "off rev 0"},
      {R"({"Systems":[{"Serial":"X","Role":"main"}]})", "off rev 0; X Independent for  at  ws "},
      {R"({"Enabled":"yes","enabled":true})", "on rev 0"},
      {R"({"Enabled":false,"enabled":true})", "off rev 0"},
      {R"({"SharedFunctionIds":[3,1],"sharedFunctionIds":[9]})", "off #1 #3 rev 0"},
      {R"({"SharedFunctionIds":[],"sharedFunctionIds":[9]})", "off #9 rev 0"},
      {R"({"ReplicationRevision":12,"replicationRevision":-4})", "off rev -4"},
      {R"({"replicationRevision":9223372036854775807})", "off rev 9223372036854775807"},
  };
  for (const auto& [body, expected] : rows)
    EXPECT_EQ(summary(parse_event_policy(body)), expected) << body;
}

TEST(OperatorControlValue, IsCompactJsonPlacedIntoTheModelAndUrlEncoded) {
  event_policy p = pair_policy();
  p.systems[0].workstation = "Say \"hi\"";
  EXPECT_EQ(
      operator_control_json(p, 17),
      R"({"Enabled":true,"Systems":[{"Serial":"A","WorkstationName":"Say \"hi\"",)"
      R"("Address":"10.0.0.2","Role":"Main","BackupForSerial":""},{"Serial":"B",)"
      R"("WorkstationName":"WS B","Address":"10.0.0.3","Role":"Backup","BackupForSerial":"A"}],)"
      R"("SharedFunctionIds":[1,2,24],"ReplicationRevision":17})");
  EXPECT_EQ(event_model_form(R"({"a":"b c"})"), "room=prime&data=%7B%22a%22%3A%22b+c%22%7D");
  const std::pair<std::string, std::string> rows[] = {
      {R"({"Name":"Show","OperatorControl":{"Enabled":true,"Systems":[{"a":1}]},"X":2})",
       R"({"Name":"Show","OperatorControl":V,"X":2})"},
      {R"({"operatorControl": 5 ,"X":1})", R"({"operatorControl": V,"X":1})"},
      {"{\"Name\":\"Show\"\n}\n", "{\"Name\":\"Show\"\n,\"OperatorControl\":V}\n"},
      {R"({"a":{"b":1}})", R"({"a":{"b":1},"OperatorControl":V})"},
      {"[1,2]", ""},
      {"", ""},
  };
  for (const auto& [model, expected] : rows)
    EXPECT_EQ(place_operator_control(model, "V"), expected) << model;
}

// A registry in a temporary folder with a stepped clock.
class PairingRegistryTest : public ::testing::Test {
 protected:
  void age(std::chrono::seconds by) {
    now_ += by;
    config_.merge_discovered({});
  }
  std::string records() {
    std::string text;
    for (const system_record& r : config_.systems()) text += describe(r) + "; ";
    return text;
  }

  testing::temp_dir dir_;
  steady_time now_ = steady_time{} + std::chrono::hours(1);
  control_config config_{dir_.file("operator-control.json"), [this] { return now_; }};
};

// Each refusal before any request, the policy built from the registry, then
// the one request round.
TEST_F(PairingRegistryTest, SynchronizeNeedsAPairAndAnOnlineMain) {
  loopback_server server(reply_with("HTTP/1.1 200 OK\r\n\r\n{}"));
  auto stops_with = [&](const char* text) {
    event_policy_client client;
    std::string message;
    EXPECT_FALSE(synchronize_controller_policy(config_, client, message));
    EXPECT_EQ(message + "|" + config_.policy_sync_message(), std::string(text) + "|" + text);
  };
  stops_with(kNotConfiguredHere);
  config_.merge_discovered({{"127.0.0.1", server.port(), "WS A", "A"},
                            {"10.0.0.4", 5000, "WS C", "C"}, {"10.0.0.3", 5001, "WS B", "B"}});
  config_.configure_pair(true, "A", "");
  stops_with(kChoosePair);
  config_.configure_pair(true, "A", "B");
  config_.set_shared_functions({24, 2, 1});
  age(7s);
  stops_with(kMainOffline);
  EXPECT_TRUE(server.requests().empty());
  EXPECT_EQ(summary(build_controller_policy(config_)),
            "on #1 #2 #24 rev 0; A Main for  at 127.0.0.1 ws WS A; B Backup for A at 10.0.0.3 ws WS B");
  // Online again: the Main is asked at its web port; "{}" is no "OK".
  config_.merge_discovered({{"127.0.0.1", server.port(), "WS A", "A"}});
  stops_with(kUpdateRejected);
  EXPECT_FALSE(config_.policy_synchronized());
  EXPECT_EQ(server.requests().size(), 3u);
}

// An enabled pairing from the Main is adopted: the online A keeps its address, the offline B moves
// and keeps its name, the unknown N is added. Once configured here, a
// different pairing from the Main changes nothing.
TEST_F(PairingRegistryTest, AdoptsAnEnabledPairingOnlyWhenNotConfiguredHere) {
  config_.merge_discovered({{"10.0.0.2", 5000, "WS A", "A"}, {"10.0.0.3", 5000, "WS B", "B"}});
  age(7s);                                                      // both offline now
  config_.merge_discovered({{"10.0.0.2", 5000, "WS A", "A"}});  // A online again
  event_policy p = pair_policy();
  p.enabled = false;
  config_.apply_event_policy(p);
  EXPECT_FALSE(config_.enabled() || config_.controller_configured());
  p = pair_policy();
  p.systems[0].address = "10.0.0.99";
  p.systems[1] = {"B", "", "10.0.0.33", system_role::backup, "A"};
  p.systems.push_back({"N", "WS N", "10.0.0.7", system_role::independent, ""});
  config_.apply_event_policy(p);
  EXPECT_TRUE(config_.enabled() && config_.controller_configured());
  EXPECT_EQ(config_.shared_functions(), p.shared_function_ids);
  EXPECT_EQ(records(), "A Main for  at 10.0.0.2 ws WS A; B Backup for A at "
                       "10.0.0.33 ws WS B; N Independent for  at 10.0.0.7 ws WS N; ");
  EXPECT_TRUE(config_.find("N")->control_port == 1256 && !config_.find("N")->online);
  std::swap(p.systems[0].role, p.systems[1].role);
  config_.apply_event_policy(p);
  EXPECT_EQ(config_.find("A")->role, system_role::main);
}

// Identity probes and configuration reads: the exact request,
// and every byte after the header block as the body (chunk size lines stay
// in and do not hide the JSON, a Content-Length does not cut it).
TEST(EventPolicyClient, ProbesAndReadsByteExact) {
  const event_policy_client client;
  const std::pair<std::string, bool> rows[] = {
      {"HTTP/1.1 200 OK\r\n\r\n{\"Serial\":\"S-1\"}", true},
      {"HTTP/1.1 404 Not Found\r\n\r\n{\"Serial\":\"S-1\"}", false},
  };
  for (const auto& [answer, matches] : rows) {
    loopback_server server(reply_with(answer));
    EXPECT_EQ(client.probe_identity("127.0.0.1", server.port(), "S-1", 1000), matches) << answer;
    EXPECT_EQ(server.requests(),
              std::vector<std::string>{"GET /Home/GetOperatorControlIdentity HTTP/1.1\r\n"
                                       "Host: 127.0.0.1\r\nConnection: close\r\n"
                                       "Accept: application/json,text/plain,*/*\r\n\r\n"});
  }

  loopback_server server(reply_with(
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Length: 2\r\n\r\n1a\r\n"
      R"({"Enabled":true,"SharedFunctionIds":[5],"Role":"Backup"})" "\r\n0\r\n\r\n"));
  std::optional<event_policy> p = client.fetch("localhost", server.port(), 1000);
  ASSERT_TRUE(p.has_value());
  EXPECT_EQ(summary(*p), "on #5 rev 0");

  loopback_server missing(reply_with("HTTP/1.1 500 Oops\r\n\r\n{\"Enabled\":true}"));
  EXPECT_FALSE(client.fetch("127.0.0.1", missing.port(), 1000).has_value());
}

// A Main that answers the configuration read, the event model read and the
// update with the texts of a row, and the read after the update with
// `after`: the pairing is written into the model once, with the revision it
// can read, and each failure has its message.
TEST(EventModelSync, WritesThePairingOnceOrNamesTheFailure) {
  const std::string ok = "HTTP/1.1 200 OK\r\n\r\n", failed = "HTTP/1.1 500 Oops\r\n\r\n";
  const std::string desired = ok + operator_control_json(pair_policy(), 0);
  struct row {
    std::string configuration, model, update, after;
    const char* message;
    int64_t revision;  // of the pairing written into the model; -1: none written
  };
  const row rows[] = {
      // The configuration read's revision wins, else the model's own, else 0.
      // Different shared functions, or the flag off, are a different pairing.
      {ok + operator_control_json({true, pair_policy().systems, {1, 2}, 0}, 44),
       ok + R"({"Cues":[{"Id":1}],"ReplicationRevision":31})", ok + "OK", desired, kPolicySynchronized, 44},
      {failed, ok + R"({"Name":"Show","OperatorControl":null,"ReplicationRevision":12})", ok + "OK",
       failed, kUpdateNotExposed, 12},
      {ok + operator_control_json({false, pair_policy().systems, {1, 2, 24}, 0}, 0),
       "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}", ok + "OK", ok + "{}", kUpdateNotExposed, 0},
      // Already in step (order, duplicates and the revision do not count): nothing is posted.
      {ok + operator_control_json({true, {pair_policy().systems[1], pair_policy().systems[0],
                                          pair_policy().systems[1]}, {1, 2, 24}, 0}, 7),
       "", "", "", kPolicySynchronized, -1},
      {ok, failed + "{}", "", "", kEventUnreadable, -1},
      {ok, ok + "ERROR: no event", "", "", kEventUnreadable, -1},
      {ok, ok + R"({"Name":{"a":1})", "", "", kEventUnreadable, -1},  // cut short
      {ok, ok + "[1,2,3]", "", "", kEventUnprepared, -1},
      {ok, ok + "{}", "HTTP/1.1 400 Bad Request\r\n\r\nOK", "", kUpdateRejected, -1},
      {ok, ok + "{}", ok + "FAILED", "", kUpdateRejected, -1},
      {ok, ok + "{}", "", "", kUpdateRejected, -1},  // closes without an answer
  };
  for (const row& r : rows) {
    loopback_server main([&, posted = false](int fd, const std::string& request) mutable {
      const std::string& answer = request.find("GetEventModel") != std::string::npos ? r.model
                                  : request.starts_with("POST")                     ? r.update
                                  : posted                                          ? r.after
                                                                                    : r.configuration;
      posted = posted || request.starts_with("POST");
      loopback_server::send_text(fd, answer);
    });
    std::string message;
    EXPECT_EQ(event_policy_client().synchronize_event_policy("127.0.0.1", main.port(), pair_policy(),
                                                             message, 1000),
              r.message == kPolicySynchronized);
    EXPECT_EQ(message, r.message) << r.model;
    const std::vector<std::string> requests = main.requests();
    const bool updated = requests.size() > 2 && requests[2].starts_with("POST");
    EXPECT_EQ(updated, r.revision >= 0 || r.message == kUpdateRejected) << r.model;
    if (r.revision >= 0) {
      const std::string model = r.model.substr(r.model.find("\r\n\r\n") + 4);
      EXPECT_TRUE(requests[2].ends_with(event_model_form(
          place_operator_control(model, operator_control_json(pair_policy(), r.revision)))))
          << requests[2];
    }
  }
}

// A Main whose 192 KiB event model comes in pieces 50 ms apart, each within
// the 250 ms time-out: 12 pieces (steady), 1 KiB pieces past the ceiling of
// ten time-outs (trickles), or half the model, then a 500 ms stall (stalls)
// or, without a Content-Length, the end of the stream (closes). Only the
// whole model is written back.
TEST(EventModelSync, ASlowModelIsWrittenBackWholeAndACutOneNever) {
  enum class stream { steady, trickles, stalls, closes };
  const std::string model = "{\"Name\":\"Show\",\"Data\":\"" + std::string(196608, 'a') + "\"}";
  for (stream mode : {stream::steady, stream::trickles, stream::stalls, stream::closes}) {
    std::string answer = "{}";
    loopback_server main([&](int fd, const std::string& request) {
      const bool post = request.starts_with("POST");
      if (post) answer = operator_control_json(pair_policy(), 0);
      std::string head = "HTTP/1.1 200 OK\r\n";
      if (request.find("GetEventModel") == std::string::npos) {
        return (void)loopback_server::send_text(fd, head + "\r\n" + (post ? "OK" : answer));
      }
      if (mode != stream::closes) head += "Content-Length: " + std::to_string(model.size()) + "\r\n";
      loopback_server::send_text(fd, head + "\r\n");
      const size_t piece = mode == stream::trickles ? 1024 : model.size() / 12;
      const size_t end = mode >= stream::stalls ? model.size() / 2 : model.size();
      for (size_t at = 0; at < end && loopback_server::send_text(fd, model.substr(at, piece));
           at += piece) {
        std::this_thread::sleep_for(50ms);
      }
      if (mode == stream::stalls) std::this_thread::sleep_for(500ms);
    });
    std::string message;
    const bool ok = event_policy_client().synchronize_event_policy("127.0.0.1", main.port(),
                                                                   pair_policy(), message, 250);
    const std::vector<std::string> requests = main.requests();
    EXPECT_EQ(ok, mode == stream::steady) << message;
    ASSERT_EQ(requests.size(), ok ? 4u : 2u) << static_cast<int>(mode);
    if (ok) {
      EXPECT_TRUE(requests[2].ends_with("\r\n\r\n" + event_model_form(place_operator_control(
                                            model, operator_control_json(pair_policy(), 0)))));
    }
  }
}

// Stands in for the Main: the first write waits until the operator has
// chosen Backup C; records the Backup of every write.
struct slow_main : event_policy_client {
  control_config& config;
  mutable std::vector<std::string> written;  // serialised by the code under test
  mutable std::atomic<bool> started{false};
  explicit slow_main(control_config& c) : config(c) {}
  bool synchronize_event_policy(const std::string&, uint16_t, const event_policy& desired,
                                std::string& message, int) const override {
    if (!started.exchange(true)) {
      (void)testing::eventually([&] { return config.backup_for("A")->serial == "C"; }, 2s);
      std::this_thread::sleep_for(100ms);
    }
    written.push_back(desired.systems.at(1).serial);
    message = kPolicySynchronized;
    return true;
  }
};

TEST(EventModelSync, SynchronisationsNeverInterleaveAndTheLastWriteIsTheCurrentPairing) {
  testing::temp_dir dir;
  control_config config(dir.file("operator-control.json"));
  config.merge_discovered({{"10.0.0.2", 5000, "", "A"}, {"10.0.0.3", 5000, "", "B"},
                           {"10.0.0.4", 5000, "", "C"}});
  config.configure_pair(true, "A", "B");
  slow_main main(config);
  std::string first, second;
  std::thread refresh([&] { (void)synchronize_controller_policy(config, main, first); });
  ASSERT_TRUE(testing::eventually([&] { return main.started.load(); }, 2s));
  config.configure_pair(true, "A", "C");
  EXPECT_TRUE(synchronize_controller_policy(config, main, second));
  refresh.join();
  // The first call wrote B, found C chosen meanwhile and wrote C; then the second.
  EXPECT_EQ(main.written, (std::vector<std::string>{"B", "C", "C"}));
  EXPECT_TRUE(config.policy_synchronized());
}

}  // namespace
}  // namespace tolvarine::operator_control
