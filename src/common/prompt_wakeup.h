// Threads that answer an operator or watch the Main ask the scheduler to
// run them promptly when they wake, even while every core is busy with
// other work: a short time slice, so a wake-up preempts a long-running
// task instead of queueing behind its slice. Kernels that do not know
// custom slices (before Linux 6.12) ignore the request; the share of CPU
// time a thread gets does not change either way.
#pragma once

namespace tolvarine::operator_control {

// For the calling thread. False when the kernel refused (nothing changed);
// callers need not check: the thread then runs as before.
bool request_prompt_wakeup();

}  // namespace tolvarine::operator_control
