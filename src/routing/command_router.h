// Sends one operator command to the server it is meant for and, when the
// command's function is shared, to that server's Backup too, in parallel.
//
// Thread-safe: any number of threads may route at once. The sequence
// counter is atomic; registry reads go through control_config's own lock
// and return copies; the datagrams of one command are sent together, back
// to back in one system call on the caller's thread, once every lookup and
// log line is done, so the Main and its Backup receive a shared command in
// the same instant even on a busy machine. No lock is held while sending. Failures are values in the fanout_result; nothing
// throws.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "config/control_config.h"
#include "routing/udp_transport.h"

namespace tolvarine::operator_control {

// The outcome of one routed command.
struct fanout_result {
  uint64_t sequence = 0;  // 1 for the first request of the process
  std::string payload;
  std::vector<delivery_result> deliveries;  // target first, Backup second
};

class command_router {
 public:
  // Receives each "[route]" line without its line feed. The default writes
  // it to standard output and flushes.
  using log_fn = std::function<void(const std::string& line)>;

  explicit command_router(control_config& config, log_fn log = {});
  command_router(const command_router&) = delete;
  command_router& operator=(const command_router&) = delete;

  // Routes `payload` to the server with `target_serial` (the Main when
  // empty) and, for a shared function, to its online Backup. Blocks until
  // every started delivery has finished. An unknown target still takes a
  // sequence number and yields no deliveries.
  fanout_result route_streamdeck(int function_id, const std::string& target_serial,
                                 const std::string& payload);

 private:
  control_config& config_;
  const udp_transport transport_{};
  const log_fn log_;
  std::atomic<uint64_t> sequence_{0};
};

}  // namespace tolvarine::operator_control
