#include "web/admin_routes.h"

#include <gtest/gtest.h>

#include <sstream>
#include <tuple>
#include <stdexcept>

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
  // A protection service fake: records "<name> <argument>", fails with
  // protection_error_ when it is set.
  auto recording(const char* name) {
    return [this, name](const auto& argument, std::string* error) {
      std::ostringstream line;
      line << name << " " << argument;
      calls_.push_back(line.str());
      *error = protection_error_;
      return protection_error_.empty();
    };
  }
  admin_services fakes() {
    admin_services s;
    s.discover = [this](std::chrono::milliseconds quiet) {
      calls_.push_back("discover " + std::to_string(quiet.count()));
      if (discovered_.empty()) throw std::runtime_error("Unable to bind discovery socket");
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
  // "<status> <body>" of a request.
  std::string answer(const std::string& method, const std::string& path, const std::string& body,
                     const std::string& headers = "") {
    const http_reply reply = routes_.handle({method, path, headers, body}, 5251);
    return std::to_string(reply.status) + " " + reply.body;
  }
  std::string post(const std::string& path, const std::string& body,
                   const std::string& headers = "") {
    return answer("POST", path, body, headers);
  }
  bool saved(const std::string& part) {
    return testing::read_text(config_.path()).find(part) != std::string::npos;
  }

  testing::temp_dir dir_;
  control_config config_{dir_.file("operator-control.json")};
  strings info_, problems_, calls_;
  command_router router_{config_, [this](const std::string& line) { info_.push_back(line); }};
  std::vector<discovered_system> discovered_;
  std::string sync_message_, protection_error_;
  bool sync_result_ = false, sync_throws_ = false;
  std::vector<deck_info> decks_;
  admin_routes routes_{config_, router_, fakes(),
                       [this](const std::string& line) { info_.push_back(line); },
                       [this](const std::string& line) { problems_.push_back(line); }};
};

TEST_F(AdminRoutesTest, StatusExtendsTheSettingsDocumentAndUnknownRoutesAreRefused) {
  config_.configure_pair(true, "S-MAIN", "S-BACK");
  config_.set_ui_ready("S-BACK", true);
  config_.set_health_presence("S-MAIN", false);
  decks_.push_back({"CL1", "108", "D\"XL\"", "", 32, 0, 0, "", 0});
  const http_reply reply = routes_.handle({"GET", "/api/status", "", ""}, 5251);
  const std::string settings = config_.to_json();
  EXPECT_EQ(reply.body, settings.substr(0, settings.size() - 1) +
                            R"(,"active":"backup","activeSerial":"S-BACK","streamDeckCount":1,)"
                            R"("streamDecks":[{"serial":"CL1","name":"D\"XL\"","productId":"108",)"
                            R"("keyCount":32}],"protection":{"armed":false},"configPath":")" +
                            config_.path() + "\"}");
  config_.set_health_presence("S-BACK", false);
  EXPECT_NE(answer("GET", "/api/status", "").find(R"(,"active":"none","activeSerial":"",)"),
            std::string::npos);
  for (const auto& [method, path] : std::initializer_list<std::pair<const char*, const char*>>{
           {"GET", "/api/status?x=1"}, {"POST", "/api/status"}, {"GET", "/api/protection"},
           {"PUT", "/api/route"}}) {
    EXPECT_EQ(answer(method, path, "{}"), "404 not found") << method << " " << path;
  }
  EXPECT_TRUE(calls_.empty());
}

TEST_F(AdminRoutesTest, RoutesCommandsAndLogsEveryRequest) {
  config_.configure_pair(true, "S-MAIN", "S-BACK");
  // Refused requests are logged and route nothing: the next routed one is number 1.
  for (const auto& [body, line] : std::initializer_list<std::pair<const char*, const char*>>{
           {R"({"functionId":0,"payload":"GO"})", "function=0 target=<auto> payloadBytes=2"},
           {R"({"functionId":"3","payload":"GO"})", "function=0 target=<auto> payloadBytes=2"},
           {R"({"functionId":-4,"targetSerial":"S-MAIN","payload":"GO"})",
            "function=-4 target=S-MAIN payloadBytes=2"},
           {R"({"functionId":4294967297,"payload":""})", "function=0 target=<auto> payloadBytes=0"}}) {
    EXPECT_EQ(post("/api/route", body),
              R"(400 {"ok":false,"error":"functionId and payload are required"})");
    EXPECT_EQ(std::exchange(info_, {}), strings{"[route] request " + std::string(line)}) << body;
  }
  EXPECT_EQ(post("/api/route", R"({"functionId":2,"payload":"GO|2"})"),
            R"(200 {"ok":true,"routed":false,"targetFound":true,"mainOnline":true,"shared":true,)"
            R"("backupOnline":true,"sequence":1,"deliveries":[{"role":"Main","attempted":true,)"
            R"("sent":false,"error":"Invalid IPv4 address: main-host"},{"role":"Backup",)"
            R"("attempted":true,"sent":false,"error":"Invalid IPv4 address: backup-host"}]})");
  EXPECT_EQ(info_.front(), "[route] request function=2 target=<auto> payloadBytes=4");
  config_.set_health_presence("S-BACK", false);
  EXPECT_NE(post("/api/route", R"({"functionId":1,"targetSerial":"S-NONE","payload":"x"})")
                .find(R"("targetFound":false,"mainOnline":false,"shared":true,)"
                      R"("backupOnline":false,"sequence":2,"deliveries":[]})"),
            std::string::npos);
}

// Each request in turn: its answer and the part of the saved file it leaves
// ("": nothing to look for). Refused configurations change nothing.
TEST_F(AdminRoutesTest, ChangesTheRegistryAndRefusesInvalidConfigurations) {
  const std::string ok = R"(200 {"ok":true})", refused = R"(400 {"ok":false,"error":")",
                    port = "Control UI port must be between 1024 and 65535.\"}",
                    pair = "A different Main and Backup are required.\"}";
  discovered_ = {{"10.0.0.9", 5002, "Server D", "S-NEW"}};
  const std::tuple<const char*, const char*, std::string, const char*> rows[] = {
      {"/api/shared", R"({"ids":[5,3,5]})", ok, R"("sharedFunctionIds":[3,5])"},
      // Numbers past the 32-bit range are not numbers, never wrapped.
      {"/api/shared", R"({"ids":[4294967297,2147483647,-4294967295]})", ok, R"("sharedFunctionIds":[2147483647])"},
      {"/api/role", R"({"serial":"S-BACK","role":"Backup","backupForSerial":"S-OTHER"})", ok,
       R"("role":"Backup","backupForSerial":"S-OTHER")"},
      {"/api/role", R"({"serial":"S-BACK","role":""})", R"(400 {"ok":false})", ""},
      {"/api/discover", "", ok, R"("serial":"S-NEW")"},
      {"/api/configure", R"({"uiPort":1023,"enabled":true,"mainSerial":"S-MAIN","backupSerial":"S-BACK"})", refused + port, ""},
      {"/api/configure", R"({"uiPort":65536})", refused + port, ""},
      {"/api/configure", R"({"enabled":true,"mainSerial":"S-MAIN","backupSerial":"S-MAIN"})", refused + pair, ""},
      {"/api/configure", R"({"mainSerial":"S-MAIN"})", refused + pair, ""},
      {"/api/configure", R"({"enabled":false,"mainSerial":"S-MAIN","backupSerial":"S-GONE"})",
       refused + "The selected systems are not in the Redundancy Control registry.\"}", ""},
  };
  for (const auto& [path, body, reply, part] : rows) {
    EXPECT_EQ(post(path, body), reply) << path << " " << body;
    EXPECT_TRUE(saved(part)) << part;
  }
  EXPECT_TRUE(config_.find("S-NEW")->online);
  EXPECT_FALSE(config_.backup_for("S-MAIN") || config_.enabled());
  EXPECT_EQ(config_.ui_port(), 5270);
  EXPECT_EQ(calls_, strings{"discover 1500"});
  discovered_.clear();
  EXPECT_EQ(post("/api/discover", ""), refused + "Unable to bind discovery socket\"}");
}

// With a pair named the Main is synchronised; a port of the wrong type, or
// past the 32-bit range (1024 if wrapped), is ignored; a synchronisation
// that throws leaves the settings saved, the pairing kept and the server
// not updated.
TEST_F(AdminRoutesTest, ConfigurePairsSavesAndSynchronisesWithTheMain) {
  sync_result_ = true;
  sync_message_ = "Main event pairing is synchronized.";
  EXPECT_EQ(post("/api/configure", R"({"enabled":true,"mainSerial":"S-MAIN","backupSerial":"S-BACK",)"
                                   R"("sharedFunctionIds":[4,2],"uiPort":6000})"),
            R"(200 {"ok":true,"serverUpdated":true,"uiPort":6000,"uiPortChanged":true,)"
            R"("message":"Main event pairing is synchronized."})");
  sync_throws_ = true;
  for (const char* body : {R"({"uiPort":4294968320})", R"({"uiPort":"7000","sharedFunctionIds":[3]})"}) {
    EXPECT_EQ(post("/api/configure", body),
              R"(200 {"ok":true,"serverUpdated":false,"uiPort":6000,"uiPortChanged":false,)"
              R"("message":"Application settings saved."})") << body;
  }
  EXPECT_EQ(calls_, strings(3, "sync Application settings saved."));
  EXPECT_EQ(config_.backup_for("S-MAIN")->serial, "S-BACK");
  EXPECT_TRUE(config_.enabled() && saved(R"("uiPort":6000)") && saved(R"("sharedFunctionIds":[3])"));
}

// Protection requests pass through, from the operator page's origin or from
// tools without one; a foreign origin or host is refused, logged and not acted on.
TEST_F(AdminRoutesTest, PassesProtectionRequestsThroughFromAllowedOriginsOnly) {
  config_.set_ui_port(5300);
  const std::string policy = R"({"armed":true,"actions":[]})", disarm = R"({"operation":"disarm"})";
  for (const char* headers : {"Origin: http://evil.example", "Host: evil.example:5251"}) {
    EXPECT_EQ(post("/api/protection/operate", disarm, headers),
              R"(400 {"ok":false,"error":"Request origin not allowed."})");
  }
  EXPECT_EQ(problems_, (strings{"[admin] refused origin=http://evil.example host=",
                                "[admin] refused origin= host=evil.example:5251"}));
  EXPECT_EQ(post("/api/protection", policy), R"(200 {"ok":true,"error":""})");
  for (const char* index : {"2", "\"2\"", "4294967296", "-2147483648"})
    EXPECT_TRUE(post("/api/protection/test", "{\"index\":" + std::string(index) + "}").starts_with("200 "));
  EXPECT_EQ(post("/api/protection/operate", disarm,
                 "Origin: http://localhost:5300\r\nHost: 127.0.0.1:5251"),
            R"(200 {"ok":true,"error":""})");
  EXPECT_TRUE(post("/api/protection/operate", "{}").starts_with("200 "));
  EXPECT_EQ(calls_, (strings{"configure " + policy, "test 2", "test -1", "test -1",
                             "test -2147483648", "operate disarm", "operate "}));
  protection_error_ = "Unknown protection operation.";
  EXPECT_EQ(post("/api/protection/operate", R"({"operation":"x"})"),
            R"(400 {"ok":false,"error":"Unknown protection operation."})");
}

}  // namespace
}  // namespace tolvarine::operator_control
