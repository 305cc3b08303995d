#include "web/admin_routes.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "common/mutex.h"
#include "support/test_env.h"

namespace tolvarine::operator_control {
namespace {

using strings = std::vector<std::string>;

// Registry with a Main, its Backup and a third server on addresses that are
// not dotted quads (deliveries fail in the transport, no traffic), and
// recording fakes for every service.
class AdminRoutesTest : public ::testing::Test {
 protected:
  AdminRoutesTest() {
    config_.merge_discovered({{"main-host", 5000, "Server A", "S-MAIN"},
                              {"backup-host", 5000, "Server B", "S-BACK"},
                              {"other-host", 5001, "Server C", "S-OTHER"}});
  }

  // A protection service fake that records "<name> <argument>" and fails
  // with protection_error_ when it is set.
  auto recording(const char* name) {
    return [this, name](const auto& arg, std::string* error) {
      if constexpr (std::is_same_v<std::decay_t<decltype(arg)>, int>) {
        calls_.push_back(name + (" " + std::to_string(arg)));
      } else {
        calls_.push_back(name + (" " + arg));
      }
      *error = protection_error_;
      return protection_error_.empty();
    };
  }
  admin_services fakes() {
    admin_services s;
    s.discover = [this](std::chrono::milliseconds quiet) {
      calls_.push_back("discover " + std::to_string(quiet.count()));
      if (!discovery_error_.empty()) throw std::runtime_error(discovery_error_);
      return discovered_;
    };
    s.synchronize_pairing = [this](std::string& message) {
      calls_.push_back("sync " + message);
      if (sync_throws_) throw std::runtime_error("socket");
      if (!sync_message_.empty()) message = sync_message_;
      return sync_result_;
    };
    s.decks = [this] { return decks_; };
    s.protection_json = [] { return std::string("{\"armed\":false}"); };
    s.configure_protection = recording("configure");
    s.test_protection_action = recording("test");
    s.operate_protection = recording("operate");
    return s;
  }
  std::function<void(const std::string&)> sink(strings* lines) {
    return [this, lines](const std::string& line) {
      mutex_lock lock(log_mutex_);
      lines->push_back(line);
    };
  }
  strings take(strings* lines) {
    mutex_lock lock(log_mutex_);
    return std::exchange(*lines, {});
  }

  http_reply get(const std::string& path, const std::string& headers = "") {
    return routes_.handle({"GET", path, headers, ""}, 5251);
  }
  http_reply post(const std::string& path, const std::string& body,
                  const std::string& headers = "") {
    return routes_.handle({"POST", path, headers, body}, 5251);
  }
  bool saved(const std::string& part) {
    return testing::read_text(config_.path()).find(part) != std::string::npos;
  }

  testing::temp_dir dir_;
  control_config config_{dir_.file("operator-control.json")};
  mutex log_mutex_;
  strings info_ GUARDED_BY(log_mutex_);
  strings problems_ GUARDED_BY(log_mutex_);
  command_router router_{config_, sink(&info_)};
  strings calls_;
  std::vector<discovered_system> discovered_;
  std::string discovery_error_, sync_message_, protection_error_;
  bool sync_result_ = false, sync_throws_ = false;
  std::vector<deck_info> decks_;
  admin_routes routes_{config_, router_, fakes(), sink(&info_), sink(&problems_)};
};

TEST_F(AdminRoutesTest, StatusExtendsTheSettingsDocument) {
  config_.configure_pair(true, "S-MAIN", "S-BACK");
  config_.set_ui_ready("S-BACK", true);
  config_.set_health_presence("S-MAIN", false);
  for (const char* serial : {"CL1", "CL2"}) {
    decks_.push_back({serial, "108", "Deck \"XL\"", "", 32, 0, 0, "", 0});
  }

  const http_reply reply = get("/api/status");
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.content_type, "application/json");
  std::string expected = config_.to_json();
  expected.pop_back();
  EXPECT_EQ(
      reply.body,
      expected +
          ",\"active\":\"backup\",\"activeSerial\":\"S-BACK\",\"streamDeckCount\":2,"
          "\"streamDecks\":["
          "{\"serial\":\"CL1\",\"name\":\"Deck \\\"XL\\\"\",\"productId\":\"108\",\"keyCount\":32},"
          "{\"serial\":\"CL2\",\"name\":\"Deck "
          "\\\"XL\\\"\",\"productId\":\"108\",\"keyCount\":32}],"
          "\"protection\":{\"armed\":false},\"configPath\":\"" +
          config_.path() + "\"}");

  decks_.clear();
  config_.set_health_presence("S-BACK", false);
  const std::string empty = get("/api/status").body;
  EXPECT_NE(empty.find(",\"active\":\"none\",\"activeSerial\":\"\",\"streamDeckCount\":0,"
                       "\"streamDecks\":[],\"protection\":"),
            std::string::npos)
      << empty;
}

TEST_F(AdminRoutesTest, ServesDiagnosticsPageAndRefusesUnknownRoutes) {
  config_.set_ui_port(6001);
  const http_reply page = get("/");
  EXPECT_EQ(page.status, 200);
  EXPECT_EQ(page.content_type, "text/html; charset=utf-8");
  for (const char* part :
       {"<title>Tolvarine-Redundancy-Control diagnostics</title>",
        "The operating shell is <a href=\"http://127.0.0.1:6001/\">http://127.0.0.1:6001/</a>.",
        "fetch('/api/status')"}) {
    EXPECT_NE(page.body.find(part), std::string::npos) << part;
  }
  const std::pair<std::string, std::string> unknown[] = {
      {"GET", "/api/status?x=1"}, {"POST", "/api/status"}, {"GET", "/api/protection"},
      {"GET", "/API/STATUS"},     {"PUT", "/api/route"},   {"POST", "/api/route/"},
  };
  for (const auto& [method, path] : unknown) {
    const http_reply reply = routes_.handle({method, path, "", "{}"}, 5251);
    EXPECT_EQ(reply.status, 404) << method << " " << path;
    EXPECT_EQ(reply.content_type, "text/plain; charset=utf-8");
    EXPECT_EQ(reply.body, "not found");
  }
  EXPECT_TRUE(calls_.empty());
}

TEST_F(AdminRoutesTest, RoutesCommandsAndReportsEveryDelivery) {
  config_.configure_pair(true, "S-MAIN", "S-BACK");
  http_reply reply = post("/api/route", "{\"functionId\":2,\"payload\":\"GO|2\"}");
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(
      reply.body,
      "{\"ok\":true,\"routed\":false,\"targetFound\":true,\"mainOnline\":true,\"shared\":true,"
      "\"backupOnline\":true,\"sequence\":1,\"deliveries\":["
      "{\"role\":\"Main\",\"attempted\":true,\"sent\":false,\"error\":\"Invalid IPv4 address: "
      "main-host\"},"
      "{\"role\":\"Backup\",\"attempted\":true,\"sent\":false,"
      "\"error\":\"Invalid IPv4 address: backup-host\"}]}");
  EXPECT_EQ(take(&info_), (strings{"[route] request function=2 target=<auto> payloadBytes=4",
                                   "[route] Main -> main-host:1256 serial=S-MAIN",
                                   "[route] Backup -> backup-host:1256 serial=S-BACK"}));

  reply = post("/api/route", "{\"functionId\":20,\"targetSerial\":\"S-OTHER\",\"payload\":\"x\"}");
  EXPECT_EQ(
      reply.body,
      "{\"ok\":true,\"routed\":false,\"targetFound\":true,\"mainOnline\":true,\"shared\":false,"
      "\"backupOnline\":false,\"sequence\":2,\"deliveries\":[{\"role\":\"Independent\","
      "\"attempted\":true,"
      "\"sent\":false,\"error\":\"Invalid IPv4 address: other-host\"}]}");
  take(&info_);

  // An unknown target still takes a sequence number.
  reply = post("/api/route", "{\"functionId\":1,\"targetSerial\":\"S-NONE\",\"payload\":\"x\"}");
  EXPECT_EQ(
      reply.body,
      "{\"ok\":true,\"routed\":false,\"targetFound\":false,\"mainOnline\":false,\"shared\":true,"
      "\"backupOnline\":false,\"sequence\":3,\"deliveries\":[]}");
  EXPECT_EQ(take(&info_), strings{"[route] request function=1 target=S-NONE payloadBytes=1"});
}

TEST_F(AdminRoutesTest, RefusesRouteWithoutFunctionOrPayloadButLogsIt) {
  const std::pair<std::string, std::string> cases[] = {
      {"{\"functionId\":0,\"payload\":\"GO\"}", "function=0 target=<auto> payloadBytes=2"},
      {"{\"functionId\":3,\"payload\":\"\"}", "function=3 target=<auto> payloadBytes=0"},
      {"{\"functionId\":\"3\",\"payload\":\"GO\"}", "function=0 target=<auto> payloadBytes=2"},
      {"{\"functionId\":-4,\"targetSerial\":\"S-MAIN\",\"payload\":\"GO\"}",
       "function=-4 target=S-MAIN payloadBytes=2"},
      {"{\"payload\":7}", "function=0 target=<auto> payloadBytes=0"},
      {"not json", "function=0 target=<auto> payloadBytes=0"},
  };
  for (const auto& [body, line] : cases) {
    const http_reply reply = post("/api/route", body);
    EXPECT_EQ(reply.status, 400) << body;
    EXPECT_EQ(reply.body, "{\"ok\":false,\"error\":\"functionId and payload are required\"}");
    EXPECT_EQ(take(&info_), strings{"[route] request " + line}) << body;
  }
  // Refused requests route nothing, so the next routed one is number 1.
  EXPECT_NE(post("/api/route", "{\"functionId\":1,\"payload\":\"x\"}").body.find("\"sequence\":1,"),
            std::string::npos);
}

TEST_F(AdminRoutesTest, ChangesSharedFunctionsAndRolesAndSaves) {
  EXPECT_EQ(post("/api/shared", "{\"ids\":[5,3,5]}").body, "{\"ok\":true}");
  EXPECT_EQ(config_.shared_functions(), (std::set<int>{3, 5}));
  EXPECT_TRUE(saved("\"sharedFunctionIds\":[3,5]"));
  EXPECT_EQ(post("/api/shared", "{}").status, 200);
  EXPECT_TRUE(config_.shared_functions().empty());

  http_reply reply = post(
      "/api/role", "{\"serial\":\"S-BACK\",\"role\":\"Backup\",\"backupForSerial\":\"S-OTHER\"}");
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.body, "{\"ok\":true}");
  EXPECT_EQ(config_.find("S-BACK")->role, system_role::backup);
  EXPECT_TRUE(saved("\"backupForSerial\":\"S-OTHER\""));
  EXPECT_EQ(post("/api/role", "{\"serial\":\"S-BACK\",\"role\":\"main\"}").status, 200);
  EXPECT_EQ(config_.find("S-BACK")->role, system_role::independent);

  for (const char* body :
       {"{\"role\":\"Main\"}", "{\"serial\":\"S-BACK\"}", "{\"serial\":\"S-BACK\",\"role\":\"\"}",
        "{\"serial\":5,\"role\":\"Main\"}"}) {
    reply = post("/api/role", body);
    EXPECT_EQ(reply.status, 400) << body;
    EXPECT_EQ(reply.body, "{\"ok\":false}");
  }
  EXPECT_EQ(config_.find("S-BACK")->role, system_role::independent);
}

TEST_F(AdminRoutesTest, DiscoveryMergesFindingsOrReportsSocketTrouble) {
  discovered_ = {{"10.0.0.9", 5002, "Server D", "S-NEW"}};
  http_reply reply = post("/api/discover", "");
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.body, "{\"ok\":true}");
  EXPECT_EQ(calls_, strings{"discover 1500"});
  ASSERT_TRUE(config_.find("S-NEW"));
  EXPECT_TRUE(config_.find("S-NEW")->online);
  EXPECT_TRUE(saved("S-NEW"));

  discovery_error_ = "Unable to bind discovery socket";
  reply = post("/api/discover", "");
  EXPECT_EQ(reply.status, 400);
  EXPECT_EQ(reply.body, "{\"ok\":false,\"error\":\"Unable to bind discovery socket\"}");
}

TEST_F(AdminRoutesTest, ConfigureValidatesBeforeChangingAnything) {
  const std::string port = "Control UI port must be between 1024 and 65535.",
                    pair = "A different Main and Backup are required.";
  const std::pair<std::string, std::string> refused[] = {
      {"{\"uiPort\":1023,\"enabled\":true,\"mainSerial\":\"S-MAIN\",\"backupSerial\":\"S-BACK\"}",
       port},
      {"{\"uiPort\":65536}", port},
      {"{\"enabled\":true,\"mainSerial\":\"S-MAIN\",\"backupSerial\":\"S-MAIN\"}", pair},
      {"{\"enabled\":true}", pair},
      {"{\"mainSerial\":\"S-MAIN\"}", pair},
      {"{\"enabled\":false,\"mainSerial\":\"S-MAIN\",\"backupSerial\":\"S-GONE\"}",
       "The selected systems are not in the Redundancy Control registry."},
  };
  for (const auto& [body, error] : refused) {
    const http_reply reply = post("/api/configure", body);
    EXPECT_EQ(reply.status, 400) << body;
    EXPECT_EQ(reply.body, "{\"ok\":false,\"error\":\"" + error + "\"}") << body;
  }
  EXPECT_FALSE(config_.controller_configured());
  EXPECT_EQ(config_.ui_port(), 5270);
  EXPECT_EQ(config_.shared_functions().size(), 23u);
  EXPECT_TRUE(calls_.empty());
}

TEST_F(AdminRoutesTest, ConfigurePairsSavesAndSynchronisesWithTheMain) {
  // Nothing paired: saved without synchronising; a port of the wrong type is ignored.
  EXPECT_EQ(post("/api/configure", "{\"uiPort\":\"6000\"}").body,
            "{\"ok\":true,\"serverUpdated\":false,\"uiPort\":5270,\"uiPortChanged\":false,"
            "\"message\":\"Application settings saved.\"}");
  EXPECT_TRUE(calls_.empty());

  sync_result_ = true;
  sync_message_ = "Main event pairing is synchronized.";
  http_reply reply = post("/api/configure",
                          "{\"enabled\":true,\"mainSerial\":\"S-MAIN\",\"backupSerial\":\"S-BACK\","
                          "\"sharedFunctionIds\":[4,2],\"uiPort\":6000}");
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.body,
            "{\"ok\":true,\"serverUpdated\":true,\"uiPort\":6000,\"uiPortChanged\":true,"
            "\"message\":\"Main event pairing is synchronized.\"}");
  EXPECT_EQ(calls_, strings{"sync Application settings saved."});
  EXPECT_TRUE(config_.enabled());
  EXPECT_EQ(config_.backup_for("S-MAIN")->serial, "S-BACK");
  EXPECT_EQ(config_.shared_functions(), (std::set<int>{2, 4}));
  EXPECT_TRUE(saved("\"uiPort\":6000"));

  // Nothing named: only shared functions and port change, the pairing stays.
  sync_result_ = false;
  sync_message_ = "Main is offline.";
  EXPECT_EQ(post("/api/configure", "{\"enabled\":false,\"sharedFunctionIds\":[1]}").body,
            "{\"ok\":true,\"serverUpdated\":false,\"uiPort\":6000,\"uiPortChanged\":false,"
            "\"message\":\"Main is offline.\"}");
  EXPECT_TRUE(config_.enabled());
  EXPECT_EQ(config_.shared_functions(), (std::set<int>{1}));

  // A synchronisation that throws leaves the settings saved and the server not updated.
  sync_throws_ = true;
  EXPECT_EQ(post("/api/configure", "{\"sharedFunctionIds\":[3]}").body,
            "{\"ok\":true,\"serverUpdated\":false,\"uiPort\":6000,\"uiPortChanged\":false,"
            "\"message\":\"Application settings saved.\"}");
  EXPECT_TRUE(saved("\"sharedFunctionIds\":[3]"));
}

TEST_F(AdminRoutesTest, PassesProtectionRequestsThrough) {
  const std::string policy = "{\"armed\":true,\"actions\":[]}";
  EXPECT_EQ(post("/api/protection", policy).body, "{\"ok\":true,\"error\":\"\"}");
  EXPECT_EQ(post("/api/protection/test", "{\"index\":2}").status, 200);
  EXPECT_EQ(post("/api/protection/test", "{\"index\":\"2\"}").status, 200);
  EXPECT_EQ(post("/api/protection/operate", "{\"operation\":\"disarm\"}").body,
            "{\"ok\":true,\"error\":\"\"}");
  EXPECT_EQ(post("/api/protection/operate", "{}").status, 200);
  EXPECT_EQ(calls_,
            (strings{"configure " + policy, "test 2", "test -1", "operate disarm", "operate "}));

  protection_error_ = "Unknown protection operation.";
  const http_reply refused = post("/api/protection/operate", "{\"operation\":\"x\"}");
  EXPECT_EQ(refused.status, 400);
  EXPECT_EQ(refused.body, "{\"ok\":false,\"error\":\"Unknown protection operation.\"}");
}

TEST_F(AdminRoutesTest, RefusesForeignOriginsAndHostsWithoutActing) {
  config_.set_ui_port(5300);
  const std::string operate = "{\"operation\":\"disarm\"}";
  for (const char* headers :
       {"Origin: http://evil.example", "Origin: null", "Host: evil.example:5251",
        "Origin: http://127.0.0.1:5300\r\nHost: rebind.example"}) {
    const http_reply reply = post("/api/protection/operate", operate, headers);
    EXPECT_EQ(reply.status, 400) << headers;
    EXPECT_EQ(reply.body, "{\"ok\":false,\"error\":\"Request origin not allowed.\"}");
  }
  EXPECT_TRUE(calls_.empty());
  EXPECT_EQ(take(&problems_),
            (strings{"[admin] refused origin=http://evil.example host=",
                     "[admin] refused origin=null host=",
                     "[admin] refused origin= host=evil.example:5251",
                     "[admin] refused origin=http://127.0.0.1:5300 host=rebind.example"}));

  // The operator page's origin, and tools that send no Origin, are served.
  EXPECT_EQ(post("/api/protection/operate", operate,
                 "Origin: http://localhost:5300\r\nHost: 127.0.0.1:5251")
                .status,
            200);
  EXPECT_EQ(post("/api/protection/operate", operate).status, 200);
  EXPECT_EQ(calls_.size(), 2u);
  EXPECT_TRUE(take(&problems_).empty());
}

}  // namespace
}  // namespace tolvarine::operator_control
