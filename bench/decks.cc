// Stream Deck latencies through the built agent with virtual decks, against
// two simulated servers inside the private test network:
//   key press  a "down" written to a virtual XL's key file -> the key event
//              logged by the Main's simulator (steady clock of both), with
//              both servers healthy, then while the Backup's state poll hangs;
//              and at the Backup while the Main's key events hang
//   page paint the Main's page changed (set_page) -> the image of the last of
//              the 32 keys written to the virtual deck
// Prints trials, min, median, p99 and max per figure, and the core count.
//   scripts/netns.sh build/<dir>/bench_decks [presses] [pages]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "e2e/deck_rig.h"
#include "figures.h"

namespace toc = tolvarine::operator_control;
using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;
using toc::testing::deck_rig;
using toc::testing::sim_pair;

namespace {

double now_ms() {
  return std::chrono::duration<double, std::milli>(clock_type::now().time_since_epoch()).count();
}

bool wait_for(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  const auto deadline = clock_type::now() + limit;
  while (clock_type::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(500us);
  }
  return condition();
}

// Presses key 0 `presses` times; each press waits for the server's log line
// of its key-down. Latency from the write to the simulator's receipt.
std::vector<double> key_latencies(deck_rig& rig, int presses, const char* address) {
  std::vector<double> out;
  const std::string mark = "[sim] deck key ms=";
  const std::string down = "\"Index\":0,\"IsDown\":true";
  size_t seen = rig.sim_log(address).size();
  for (int i = 0; i < presses; ++i) {
    const double sent = now_ms();
    rig.key("XL0001", 0, true);
    long long received = -1;
    wait_for(
        [&] {
          const std::string log = rig.sim_log(address);
          for (size_t at = log.find(mark, seen); at != std::string::npos;
               at = log.find(mark, seen)) {
            const size_t end = log.find('\n', at);
            if (end == std::string::npos) break;
            seen = end;
            if (log.substr(at, end - at).find(down) != std::string::npos) {
              received = std::atoll(log.c_str() + at + mark.size());
            }
          }
          return received >= 0;
        },
        3s);
    if (received >= 0) out.push_back(static_cast<double>(received) - sent);
    rig.key("XL0001", 0, false);
    std::this_thread::sleep_for(30ms);  // the key-up goes out before the next press
  }
  return out;
}

std::vector<double> page_paints(deck_rig& rig, int pages) {
  char host[256] = {};
  if (::gethostname(host, sizeof(host) - 1) != 0 || host[0] == '\0')
    std::snprintf(host, sizeof(host), "operator");
  const std::string session = std::string("operator-control-") + host;
  std::vector<double> out;
  for (int i = 0; i < pages; ++i) {
    const int page = 2 + i % 2;  // 2, 3, 2, ...: always a change
    const size_t before = rig.reports("XL0001").size();
    const std::string last = "S-MAIN page=" + std::to_string(page) + " key=31\xff";
    const double sent = now_ms();
    toc::http_request(sim_pair::kMainAddress, 5000, "POST", "/Home/OperatorDeckSetPage",
                      "{\"SessionId\":\"" + session +
                          "\",\"Serial\":\"XL0001\",\"Page\":" + std::to_string(page) + "}",
                      "application/json", 2000, 4096);
    if (wait_for([&] { return rig.reports("XL0001").find(last, before) != std::string::npos; },
                 5s)) {
      out.push_back(now_ms() - sent);
    }
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (!toc::testing::in_test_network()) {
    std::fprintf(stderr, "%s\n", toc::testing::kNeedsTestNetwork);
    return 1;
  }
  const int presses = argc > 1 ? std::max(1, std::atoi(argv[1])) : 500;
  const int pages = argc > 2 ? std::max(1, std::atoi(argv[2])) : 60;
  deck_rig rig;
  if (!rig.ready()) {
    std::fprintf(stderr, "simulators did not start\n");
    return 1;
  }
  rig.set_decks("0x006C XL0001 Virtual XL\n");
  rig.start_agent();
  if (!wait_for(
          [&] {
            return rig.reports("XL0001").find("S-MAIN page=1 key=31\xff") != std::string::npos;
          },
          20s)) {
    std::fprintf(stderr, "the deck was never painted\n%s", rig.err().c_str());
    return 1;
  }
  std::printf("Stream Deck latencies through the agent and virtual decks, %u cores\n",
              std::thread::hardware_concurrency());
  toc::bench::print_figure("key press -> Main, both healthy",
                           key_latencies(rig, presses, sim_pair::kMainAddress));
  sim_pair::set(sim_pair::kBackupAddress, "deck_state_delay_ms=600000");
  std::this_thread::sleep_for(2s);
  toc::bench::print_figure("key press -> Main, Backup poll hanging",
                           key_latencies(rig, presses, sim_pair::kMainAddress));
  sim_pair::set(sim_pair::kBackupAddress, "deck_state_delay_ms=0");
  sim_pair::set(sim_pair::kMainAddress,
                "fault_paths=/Home/OperatorDeckKeyEvent&hang_ms=5000&http=hang");
  toc::bench::print_figure("key press -> Backup, Main's keys hanging",
                           key_latencies(rig, presses, sim_pair::kBackupAddress));
  sim_pair::set(sim_pair::kMainAddress, "http=normal&fault_paths=");
  std::this_thread::sleep_for(2s);
  toc::bench::print_figure("32-key page: change -> last key written", page_paints(rig, pages));
  return rig.stop_agent() == 0 ? 0 : 1;
}
