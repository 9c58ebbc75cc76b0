// The floor of the scale test's CPU figure: N bare reader threads, each blocking on its own
// telemetry connection and taking out the send time of every sample line, nothing else.
//
// Usage: bench_telemetry_readers PORT N   prints "ready" once every reader has a sample; then
//   each line "cpu" on standard input answers with the CPU seconds the process has used so far.
//   Ends when standard input closes.
#include <sys/resource.h>

#include <atomic>
#include <iostream>
#include <string>
#include <vector>

#include "bench_common.hpp"

namespace {

std::atomic<int> readersWithData{0};
std::atomic<double> sink{0};

void readStream(int fd) {
  std::string buffer;
  char chunk[8192];
  bool counted = false;
  for (;;) {
    const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) return;
    buffer.append(chunk, static_cast<std::size_t>(n));
    std::size_t start = 0;
    for (std::size_t end; (end = buffer.find('\r', start)) != std::string::npos; start = end + 1) {
      const std::size_t at = buffer.find("J1agl=", start);
      if (at < end) sink.store(std::strtod(buffer.c_str() + at + 6, nullptr));
    }
    buffer.erase(0, start);
    if (!counted) {
      counted = true;
      ++readersWithData;
    }
  }
}

double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  bench::start(argc, 2, "bench_telemetry_readers PORT N", 900);
  const int port = std::atoi(argv[1]);
  const int count = std::atoi(argv[2]);
  std::vector<int> sockets;
  for (int i = 0; i < count; ++i) {
    sockets.push_back(bench::connectLoopback(port));
    std::thread(readStream, sockets.back()).detach();
  }
  const std::int64_t deadline = bench::nowNs() + std::int64_t{10} * 1000000000;
  while (readersWithData.load() < count && bench::nowNs() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::printf("%s\n", readersWithData.load() == count ? "ready" : "not-ready");
  std::fflush(stdout);
  std::string word;
  while (std::cin >> word) {
    std::printf("%.6f\n", cpuSeconds());
    std::fflush(stdout);
  }
  for (const int fd : sockets) shutdown(fd, SHUT_RDWR);  // the readers see the end and return
  return 0;
}
