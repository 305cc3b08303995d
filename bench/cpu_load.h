// A CPU load for benchmarks that must show their figures on a busy machine:
// one busy thread per core, at normal priority, for as long as the object
// lives.
#pragma once

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

namespace tolvarine::operator_control::bench {

class cpu_load {
 public:
  cpu_load() {
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    for (unsigned i = 0; i < cores; ++i) {
      threads_.emplace_back([this] {
        volatile unsigned long spin = 0;
        while (!done_.load(std::memory_order_relaxed)) spin = spin + 1;
      });
    }
  }
  ~cpu_load() {
    done_ = true;
    for (std::thread& t : threads_) t.join();
  }
  cpu_load(const cpu_load&) = delete;
  cpu_load& operator=(const cpu_load&) = delete;

 private:
  std::atomic<bool> done_{false};
  std::vector<std::thread> threads_;
};

// Runs `measure` once on an idle machine and once under a cpu_load, with
// `label` ("idle", "busy") for each run.
template <typename F>
void idle_then_busy(F&& measure) {
  measure("idle");
  cpu_load load;
  measure("busy");
}

}  // namespace tolvarine::operator_control::bench
