// Command routing end to end through the built agent inside the private
// test network: POST "/api/route" of a shared function until the datagram
// has arrived at both the Main's and the Backup's address, and the skew
// between the two arrivals; then GET "/api/status" round trips. Every figure
// is measured twice: on an idle machine, then with every core kept busy.
//
// The simulators answer discovery and health as usual but take commands on
// port 1257, so that receivers in this process hold 10.77.0.2:1256 and
// 10.77.0.3:1256 and stamp each arrival with the kernel's receive time.
//   scripts/netns.sh build/<dir>/bench_route [trials]
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <thread>
#include <vector>

#include "common/mutex.h"
#include "config/system_record.h"
#include "cpu_load.h"
#include "figures.h"
#include "routing/test_udp_listener.h"
#include "support/agent_pair.h"

namespace toc = tolvarine::operator_control;
using namespace std::chrono_literals;
using toc::steady_time;
using wall_time = std::chrono::system_clock::time_point;

namespace {

double ms(std::chrono::nanoseconds d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

// Stamps every datagram that arrives at one address with the kernel's
// receive time (SO_TIMESTAMPNS, wall clock), so the figures do not depend
// on when this process's receiving thread gets to run. The thread collects
// the datagrams every millisecond instead of waiting on the socket: on the
// test's veth pair an arrival is processed on the sending core, and a
// thread woken there would preempt the agent between its two datagrams,
// which no real server on another machine does.
class arrival_recorder {
 public:
  explicit arrival_recorder(const char* address) : socket_(address, toc::kControlPort) {
    const int one = 1;
    if (socket_.ok()) ::setsockopt(socket_.fd(), SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof(one));
  }
  bool ok() const { return socket_.ok(); }
  void start() {
    thread_ = std::thread([this] {
      char data[2048];
      char control[256];
      while (!done_.load()) {
        iovec io{data, sizeof(data)};
        msghdr message{};
        message.msg_iov = &io;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof(control);
        const ssize_t n = ::recvmsg(socket_.fd(), &message, MSG_DONTWAIT);
        if (n < 0) {  // nothing waiting: look again in a millisecond
          std::this_thread::sleep_for(1ms);
          continue;
        }
        wall_time stamp = std::chrono::system_clock::now();
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
          if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
            timespec ts;
            std::memcpy(&ts, CMSG_DATA(c), sizeof(ts));
            stamp = wall_time(std::chrono::duration_cast<wall_time::duration>(
                std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec)));
          }
        }
        toc::mutex_lock lock(mutex_);
        arrivals_[std::string(data, static_cast<size_t>(n))] = stamp;
      }
    });
  }
  void stop() {
    done_ = true;
    if (thread_.joinable()) thread_.join();
  }
  std::optional<wall_time> arrival(const std::string& payload) {
    toc::mutex_lock lock(mutex_);
    auto it = arrivals_.find(payload);
    if (it == arrivals_.end()) return std::nullopt;
    return it->second;
  }

 private:
  toc::testing::test_udp_listener socket_;
  std::thread thread_;
  std::atomic<bool> done_{false};
  toc::mutex mutex_;
  std::map<std::string, wall_time> arrivals_ GUARDED_BY(mutex_);
};

// Every request goes on a connection opened before its clock starts: the
// figures start when the request leaves the client, so they are the
// agent's, not the time this process waits for a core between its connect
// and its write.
std::optional<std::string> sent_and_answered(toc::testing::raw_connection& connection,
                                             const std::string& request) {
  if (!connection.ok() || !connection.send_text(request)) return std::nullopt;
  return connection.read_all(2000ms);
}

}  // namespace

int main(int argc, char** argv) {
  const int trials = argc > 1 ? std::max(10, std::atoi(argv[1])) : 1000;
  if (!toc::testing::in_test_network()) {
    std::fprintf(stderr, "%s\n", toc::testing::kNeedsTestNetwork);
    return 1;
  }
  arrival_recorder main_arrivals("10.77.0.2");
  arrival_recorder backup_arrivals("10.77.0.3");
  if (!main_arrivals.ok() || !backup_arrivals.ok()) {
    std::fprintf(stderr, "cannot bind the receivers on port 1256\n");
    return 1;
  }
  toc::testing::agent_pair pair({"--command-port", "1257"});
  if (!pair.ok()) {
    std::fprintf(stderr, "%s\n", pair.error().c_str());
    return 1;
  }
  main_arrivals.start();
  backup_arrivals.start();

  int failures = 0;
  std::printf("cores=%u trials=%d per run\n", std::thread::hardware_concurrency(), trials);
  toc::bench::idle_then_busy([&](const std::string& label) {
    std::vector<double> end_to_end, skew, http_round_trip, status;
    for (int i = -20; i < trials; ++i) {  // 20 warm-up requests
      const std::string payload = "BENCH|" + label + "|" + std::to_string(i);
      const std::string request =
          toc::testing::post("/api/route", "{\"functionId\":1,\"payload\":\"" + payload + "\"}");
      toc::testing::raw_connection connection(5251);
      const wall_time start = std::chrono::system_clock::now();
      const auto reply = sent_and_answered(connection, request);
      const wall_time answered = std::chrono::system_clock::now();
      std::optional<wall_time> a, b;
      const bool arrived = toc::testing::eventually(
          [&] {
            a = main_arrivals.arrival(payload);
            b = backup_arrivals.arrival(payload);
            return a && b;
          },
          2000ms);
      if (!reply || toc::testing::status_of(*reply) != 200 || !arrived) {
        ++failures;
        continue;
      }
      if (i < 0) continue;
      end_to_end.push_back(ms(std::max(*a, *b) - start));
      skew.push_back(ms(*a > *b ? *a - *b : *b - *a));
      http_round_trip.push_back(ms(answered - start));
    }
    for (int i = -20; i < trials; ++i) {
      toc::testing::raw_connection connection(5251);
      const steady_time start = toc::steady_now();
      const auto reply = sent_and_answered(connection, toc::testing::get("/api/status"));
      if (!reply || toc::testing::status_of(*reply) != 200) {
        ++failures;
        continue;
      }
      if (i >= 0) status.push_back(ms(toc::steady_now() - start));
    }
    if (end_to_end.empty() || status.empty()) return;
    toc::bench::print_figure(("[" + label + "] route: request to both arrivals").c_str(),
                             end_to_end);
    toc::bench::print_figure(("[" + label + "] route: Main/Backup arrival skew").c_str(), skew);
    toc::bench::print_figure(("[" + label + "] route: HTTP round trip").c_str(), http_round_trip);
    toc::bench::print_figure(("[" + label + "] status: GET /api/status").c_str(), status);
  });
  main_arrivals.stop();
  backup_arrivals.stop();

  std::printf("failures=%d\n", failures);
  return failures == 0 ? 0 : 1;
}
