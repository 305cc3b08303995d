#include "web/shell_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <thread>

#include "common/unique_fd.h"
#include "config/json_util.h"
#include "platform/os_helpers.h"
#include "server/http_client.h"

namespace tolvarine::operator_control {
namespace {

bool port_accepts(uint16_t port) {
  unique_fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return ::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
}

}  // namespace

std::string shell_url(uint16_t port, bool configure) {
  return "http://127.0.0.1:" + std::to_string(port) + "/" + (configure ? "?configure=1" : "");
}

void open_shell_ui(uint16_t port, bool configure) {
  using namespace std::chrono;
  const auto give_up = steady_clock::now() + milliseconds(2500);
  while (!port_accepts(port) && steady_clock::now() < give_up) {
    std::this_thread::sleep_for(milliseconds(100));
  }
  const http_response reply =
      http_request("127.0.0.1", port, "POST",
                   configure ? "/kel/browser/reuse?configure=1" : "/kel/browser/reuse", "", "", 3000,
                   4096);
  // An open tab took the request, or another caller's request is being served.
  if (reply.status == 200 && (json_util::bool_value(reply.body, "reused", false) ||
                              !json_util::bool_value(reply.body, "open", true))) {
    return;
  }
  platform_open_url(shell_url(port, configure));
}

}  // namespace tolvarine::operator_control
