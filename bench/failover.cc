// Failover latency, end to end against two simulated show servers inside
// the private test network:
//   (a) the Main stops answering  -> the Backup is the selected server
//   (b) the Main's engine stops   -> the Backup is the selected server
// with the default policy (lossMs 1000) and a 1000 ms startup grace.
// Prints trials, min, median, p99 and max per scenario, and the core count,
// once on an idle machine and once with every core kept busy.
//   scripts/netns.sh build/<dir>/bench_failover [trials]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "config/control_config.h"
#include "cpu_load.h"
#include "figures.h"
#include "protection/protection_service.h"
#include "support/sim_pair.h"
#include "support/test_env.h"

namespace toc = tolvarine::operator_control;
using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

namespace {

struct scenario {
  const char* name;
  const char* fault;    // knobs that make the Main fail
  const char* healthy;  // knobs that heal it
  bool silent;          // the Main answers nothing at all
};

double ms_between(clock_type::time_point a, clock_type::time_point b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}

bool wait_for(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  const auto deadline = clock_type::now() + limit;
  while (clock_type::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(200us);
  }
  return condition();
}

// Back to the Main once it is eligible again.
bool return_to_main(toc::protection_service& service) {
  return wait_for(
      [&] {
        std::string error;
        return service.operate("main", &error) && service.active_serial() == "S-MAIN";
      },
      10s);
}

}  // namespace

int main(int argc, char** argv) {
  if (!toc::testing::in_test_network()) {
    std::fprintf(stderr, "%s\n", toc::testing::kNeedsTestNetwork);
    return 1;
  }
  const int trials = argc > 1 ? std::max(1, std::atoi(argv[1])) : 100;
  toc::testing::sim_pair sims;
  if (!sims.ready()) {
    std::fprintf(stderr, "simulators did not start\n");
    return 1;
  }
  toc::testing::temp_dir dir;
  toc::control_config config(dir.file("operator-control.json"));
  toc::testing::sim_pair::pair(config);
  toc::protection_service service(config);
  std::string error;
  if (!service.configure(R"({"startupMs":1000})", &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  service.start();
  if (!wait_for([&] { return service.active_serial() == "S-MAIN" && !service.selection_pending(); },
                10s)) {
    std::fprintf(stderr, "the Main was never selected\n");
    return 1;
  }
  std::this_thread::sleep_for(1200ms);  // past the startup grace

  const scenario scenarios[] = {
      {"(a) Main stops answering", "refuse_ms=0&http=refuse", "http=normal", true},
      {"(b) Main engine stops", "engine=stopped", "engine=running", false},
  };
  std::mt19937 random(7);
  std::uniform_int_distribution<int> phase_us(0, 250000);  // anywhere in a monitor cycle
  std::printf("failover latency, lossMs 1000, monitor cycle 250 ms, %u cores\n",
              std::thread::hardware_concurrency());
  bool failed = false;
  toc::bench::idle_then_busy([&](const std::string& label) {
    for (const scenario& s : scenarios) {
      std::vector<double> latencies, after_rule;
      for (int i = 0; i < trials; ++i) {
        std::this_thread::sleep_for(std::chrono::microseconds(phase_us(random)));
        const auto t0 = clock_type::now();
        if (!toc::testing::sim_pair::set(toc::testing::sim_pair::kMainAddress, s.fault)) {
          std::fprintf(stderr, "could not inject the fault\n");
          failed = true;
          return;
        }
        if (!wait_for([&] { return service.active_serial() == "S-BACK"; }, 10s)) {
          std::fprintf(stderr, "%s: no failover within 10 s\n", s.name);
          failed = true;
          return;
        }
        const auto selected = clock_type::now();
        latencies.push_back(ms_between(t0, selected));
        // Where the time went: in (a) the Main's last answer plus lossMs is
        // the earliest the rule allows; in (b) the first answer showing the
        // stopped engine is.
        if (const auto last = service.sample("S-MAIN")) {
          const auto earliest =
              s.silent ? last->updated + std::chrono::milliseconds(service.policy().lossMs)
                       : last->updated;
          after_rule.push_back(ms_between(earliest, selected));
        }
        if (!toc::testing::sim_pair::set(toc::testing::sim_pair::kMainAddress, s.healthy) ||
            !return_to_main(service)) {
          std::fprintf(stderr, "%s: could not return to the Main\n", s.name);
          failed = true;
          return;
        }
        std::this_thread::sleep_for(300ms);  // a settled Main before the next fault
      }
      toc::bench::print_figure((std::string("[") + label + "] " + s.name).c_str(), latencies);
      toc::bench::print_figure("    of which after the rule was met", after_rule);
    }
  });
  service.stop();
  return failed ? 1 : 0;
}
