// Idle footprint of the built agent inside the private test network: two
// simulated show servers, the pair configured and enabled, protection
// polling both four times a second, the refresh pass every two seconds,
// no requests. Over the measuring window it reads the agent's CPU time
// (user + system, /proc/<pid>/stat) and its resident set (VmRSS sampled
// every second, VmHWM and its private and library parts at the end).
//   scripts/netns.sh build/<dir>/bench_idle_footprint [seconds]
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/agent_pair.h"

namespace toc = tolvarine::operator_control;
using namespace std::chrono_literals;

namespace {

// utime + stime of `pid` in seconds, or -1.
double cpu_seconds(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// A "VmRSS"/"VmHWM"/"RssAnon"/"Threads" line of /proc/<pid>/status, in its own unit
// (kB for memory), or -1.
long status_value(int pid, const std::string& key) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(key + ":", 0) == 0) return std::atol(line.c_str() + key.size() + 1);
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::max(5, std::atoi(argv[1])) : 60;
  if (!toc::testing::in_test_network()) {
    std::fprintf(stderr, "%s\n", toc::testing::kNeedsTestNetwork);
    return 1;
  }
  toc::testing::agent_pair pair;
  if (!pair.ok()) {
    std::fprintf(stderr, "%s\n", pair.error().c_str());
    return 1;
  }
  const int pid = pair.agent_pid();
  std::this_thread::sleep_for(3s);  // past start-up: grace, first passes

  const double cpu_start = cpu_seconds(pid);
  const auto start = std::chrono::steady_clock::now();
  long rss_max = 0;
  for (int s = 0; s < seconds; ++s) {
    std::this_thread::sleep_until(start + std::chrono::seconds(s + 1));
    rss_max = std::max(rss_max, status_value(pid, "VmRSS"));
  }
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double cpu = cpu_seconds(pid) - cpu_start;
  const long hwm = status_value(pid, "VmHWM");
  const long threads = status_value(pid, "Threads");
  // The agent's own memory, apart from the pages of shared libraries (the
  // desktop ones among them) that other processes map as well.
  const long anonymous = status_value(pid, "RssAnon");
  const long file_backed = status_value(pid, "RssFile");

  std::printf("cores=%u window=%.1f s\n", std::thread::hardware_concurrency(), wall);
  std::printf("cpu: %.3f s used = %.3f %% of one core\n", cpu, 100.0 * cpu / wall);
  std::printf("memory: VmRSS max %.1f MB, VmHWM (peak RSS) %.1f MB, threads %ld\n",
              rss_max / 1024.0, hwm / 1024.0, threads);
  std::printf("memory at the end: private (RssAnon) %.1f MB, library and file pages (RssFile) %.1f MB\n",
              anonymous / 1024.0, file_backed / 1024.0);
  return 0;
}
