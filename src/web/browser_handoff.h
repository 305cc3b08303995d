// The server side of handing "show the operator page" to a browser tab that
// is already open. One request is pending at a time: a reuse call creates it
// (or joins the pending one) and waits up to 2000 ms; an open page polls,
// gets its id once, and acknowledges it; the waiting reuse calls then learn
// that a tab took it. After its deadline a request is inert.
//
// Thread-safe: every public method takes mutex_; reuse() waits on changed_
// without holding it. Time comes from the injected clock.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/clock.h"
#include "common/mutex.h"

namespace tolvarine::operator_control {

class browser_handoff {
 public:
  static constexpr std::chrono::milliseconds kDeadline{2000};

  struct reuse_outcome {
    bool reused = false;  // a tab acknowledged the request
    bool open = false;    // nobody did and this call created it: open a window
  };

  explicit browser_handoff(steady_clock_fn clock = steady_now);

  // Creates a request, or joins the pending one (OR-ing `configure` into
  // it), and waits until a tab acknowledges it or its deadline passes.
  reuse_outcome reuse(bool configure) EXCLUDES(mutex_);
  // The pending request's id the first time it is asked for; "" otherwise.
  std::string poll() EXCLUDES(mutex_);
  // The request's configure flag when `id` names the pending request, it
  // was handed to a poll and its deadline lies ahead; none otherwise.
  std::optional<bool> acknowledge(std::string_view id) EXCLUDES(mutex_);

 private:
  struct request {
    std::string id;
    steady_time deadline;
    bool configure = false;
    bool delivered = false;
    bool acknowledged = false;
  };

  // A pending request that can still be taken (not acknowledged, before
  // its deadline); null otherwise.
  request* live_locked(steady_time now) REQUIRES(mutex_);

  const steady_clock_fn clock_;
  mutex mutex_;
  condition_variable changed_;
  // A waiting reuse call keeps its own reference when a newer request
  // replaces this one. The pointee is guarded by mutex_ as well.
  std::shared_ptr<request> current_ GUARDED_BY(mutex_);
};

}  // namespace tolvarine::operator_control
