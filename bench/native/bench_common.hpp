// Helpers shared by the benchmark's native programs: the monotonic clock, loopback sockets,
// latency summaries and a watchdog that ends a program its driver has forgotten.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

namespace bench {

/// CLOCK_MONOTONIC in nanoseconds: the clock of std::chrono::steady_clock and time.monotonic().
inline std::int64_t nowNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

[[noreturn]] inline void fail(const std::string& what) {
  std::fprintf(stderr, "%s: %s\n", what.c_str(), std::strerror(errno));
  std::exit(2);
}

/// Timers of this process fire on time instead of within the default 50 us slack.
inline void preciseTimers() {
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
}

inline void noDelay(int fd) {
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

/// A listening socket on 127.0.0.1 and an ephemeral port; returns the descriptor and the port.
inline int listenLoopback(int& port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) fail("socket");
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) fail("bind");
  if (listen(fd, 128) != 0) fail("listen");
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  port = ntohs(address.sin_port);
  return fd;
}

/// A blocking, no-delay connection to 127.0.0.1:port.
inline int connectLoopback(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) fail("socket");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) fail("connect");
  noDelay(fd);
  return fd;
}

/// Ends the process after `seconds` whatever it is doing: every program stops by itself even
/// when its driver died without closing the pipes.
inline void exitAfter(int seconds) {
  std::thread([seconds] {
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    std::fprintf(stderr, "watchdog: still running after %d s, exiting\n", seconds);
    std::_Exit(3);
  }).detach();
}

/// Starts a benchmark program: exits with its usage line unless it got `arguments` arguments,
/// then arms the watchdog of exitAfter().
inline void start(int argc, int arguments, const char* usage, int watchdogSeconds) {
  if (argc != arguments + 1) {
    std::fprintf(stderr, "usage: %s\n", usage);
    std::exit(2);
  }
  exitAfter(watchdogSeconds);
}

/// The value below which `fraction` of the sorted samples lie (nearest rank).
inline double percentile(const std::vector<double>& sorted, double fraction) {
  if (sorted.empty()) return NAN;
  const auto rank = static_cast<std::size_t>(std::ceil(fraction * sorted.size()));
  return sorted[std::min(sorted.size() - 1, rank == 0 ? 0 : rank - 1)];
}

/// One JSON object with the latency summary of `samples` (microseconds), on one line.
inline std::string latencySummary(std::vector<double> samples, double seconds) {
  std::sort(samples.begin(), samples.end());
  char text[256];
  std::snprintf(text, sizeof text,
                "\"count\": %zu, \"p50_us\": %.3f, \"p99_us\": %.3f, \"max_us\": %.3f, "
                "\"per_s\": %.1f",
                samples.size(), percentile(samples, 0.5), percentile(samples, 0.99),
                samples.empty() ? NAN : samples.back(),
                seconds > 0 ? static_cast<double>(samples.size()) / seconds : NAN);
  return text;
}

}  // namespace bench
