// The floor of a command round trip: a raw blocking socket client that writes the same request
// bytes as the library and reads the reply up to its line feed, nothing else.
//
// Usage: bench_floor_client PORT      then one command per line on standard input:
//   tool N    N round trips of $Execute,"Print Tool"
//   state N   N round trips of the robot-state query
// Each command answers one line: the kind, the batch's wall time in seconds, and every round
// trip's latency in microseconds. Ends when standard input closes.
#include <iostream>
#include <string>
#include <vector>

#include "bench_common.hpp"

namespace {

const std::string kToolRequest = "$Execute,\"Print Tool\"\r\n";
const std::string kStateRequest =
    "$Execute,\"Print Agl(1),Agl(2),Agl(3),Agl(4),Agl(5),Agl(6),"
    "CX(Here),CY(Here),CZ(Here),CU(Here),CV(Here),CW(Here)\"\r\n";

/// One request and its reply line; returns false when the connection failed.
bool roundTrip(int fd, const std::string& request, char* buffer, std::size_t capacity) {
  if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(request.size())) {
    return false;
  }
  std::size_t have = 0;
  for (;;) {
    const ssize_t n = recv(fd, buffer + have, capacity - have, 0);
    if (n <= 0) return false;
    have += static_cast<std::size_t>(n);
    if (buffer[have - 1] == '\n') return true;  // the responder writes whole lines
    if (have == capacity) return false;
  }
}

}  // namespace

int main(int argc, char** argv) {
  bench::start(argc, 1, "bench_floor_client PORT", 900);
  const int fd = bench::connectLoopback(std::atoi(argv[1]));
  char buffer[4096];
  std::string kind;
  long count = 0;
  while (std::cin >> kind >> count) {
    const std::string& request = kind == "state" ? kStateRequest : kToolRequest;
    std::vector<double> latencies;
    latencies.reserve(static_cast<std::size_t>(count));
    const std::int64_t start = bench::nowNs();
    for (long i = 0; i < count; ++i) {
      const std::int64_t before = bench::nowNs();
      if (!roundTrip(fd, request, buffer, sizeof buffer)) bench::fail("round trip");
      latencies.push_back(static_cast<double>(bench::nowNs() - before) / 1000.0);
    }
    const double seconds = static_cast<double>(bench::nowNs() - start) / 1e9;
    std::printf("%s %.6f", kind.c_str(), seconds);
    for (const double latency : latencies) std::printf(" %.3f", latency);
    std::printf("\n");
    std::fflush(stdout);
  }
  return 0;
}
