#include "common/prompt_wakeup.h"

#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>

namespace tolvarine::operator_control {
namespace {

// The kernel's struct sched_attr (first version, 48 bytes); declared here
// because the C library does not export it on every distribution.
struct scheduling_attributes {
  uint32_t size;
  uint32_t policy;
  uint64_t flags;
  int32_t nice;
  uint32_t priority;
  uint64_t runtime;  // for a normal thread: the slice it asks for, in ns
  uint64_t deadline;
  uint64_t period;
};

// Short enough to preempt a spinning task within a fraction of a
// millisecond; the kernel's floor is 0.1 ms.
constexpr uint64_t kSliceNs = 200'000;

}  // namespace

bool request_prompt_wakeup() {
#ifdef SYS_sched_setattr
  scheduling_attributes current{};
  if (::syscall(SYS_sched_getattr, 0, &current, sizeof(current), 0) != 0) return false;
  if (current.policy != SCHED_OTHER && current.policy != SCHED_BATCH) return false;
  scheduling_attributes wanted{};
  wanted.size = sizeof(wanted);
  wanted.policy = current.policy;
  wanted.nice = current.nice;  // the slice only; the thread's weight stays
  wanted.runtime = kSliceNs;
  return ::syscall(SYS_sched_setattr, 0, &wanted, 0) == 0;
#else
  return false;
#endif
}

}  // namespace tolvarine::operator_control
