// A few long-lived threads that run command deliveries, so that the Main's
// and the Backup's datagram of one command leave in parallel without
// waiting for new threads to be scheduled (a newly created thread can wait
// a whole scheduler slice behind busy tasks; a sleeping one is woken at
// once).
//
// Owns its threads: start()/stop() from the owner only; submit() from any
// thread. Lock order: mutex_ is a leaf; jobs run without it. A job that
// cannot go to a thread (not running, or stopping) runs on the caller's
// thread, so a delivery is never dropped. stop() lets queued jobs finish.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <future>
#include <thread>
#include <vector>

#include "common/mutex.h"
#include "routing/udp_transport.h"

namespace tolvarine::operator_control {

class delivery_threads {
 public:
  using job = std::function<delivery_result()>;

  explicit delivery_threads(size_t count);
  ~delivery_threads();
  delivery_threads(const delivery_threads&) = delete;
  delivery_threads& operator=(const delivery_threads&) = delete;

  // Starts the threads. True when running afterwards; false when no thread
  // could be started (submit() then runs jobs inline).
  [[nodiscard]] bool start() EXCLUDES(mutex_);
  // Runs what is queued, then ends the threads. Idempotent.
  void stop() EXCLUDES(mutex_);

  // The result of `work`, run on one of the threads (or inline, see above).
  std::future<delivery_result> submit(job work) EXCLUDES(mutex_);

 private:
  void run() EXCLUDES(mutex_);

  const size_t count_;
  std::vector<std::thread> threads_;  // owner only

  mutex mutex_;
  condition_variable wake_;
  bool running_ GUARDED_BY(mutex_) = false;
  std::deque<std::packaged_task<delivery_result()>> queue_ GUARDED_BY(mutex_);
};

}  // namespace tolvarine::operator_control
