// A telemetry writer standing in for the controller's Background Task: at a fixed rate it writes
// one sample line to every connected client, with the send time on CLOCK_MONOTONIC in
// microseconds as J1agl and a sequence number as J2agl, and a status line every 25 samples.
//
// Usage: bench_telemetry_writer RATE_HZ   prints "port N" once listening on 127.0.0.1; reads
//   "pause" / "resume" lines on standard input (paused: connections stay open, nothing is
//   written) and ends when standard input closes.
#include <fcntl.h>
#include <poll.h>

#include <string>
#include <vector>

#include "bench_common.hpp"

namespace {

constexpr int kStatusEvery = 25;
constexpr const char* kStatusLine = "STAT=524288;SYSERR=0;CTRLDEV=21;ROBOTINFO=0;CTRLINFO=0\r";

int sampleLine(char* out, std::size_t capacity, std::int64_t sendNs, long sequence) {
  return std::snprintf(out, capacity,
                       "X=412.518;Y=-20.003;Z=610.25;U=90.125;V=0.5;W=179.875;J1agl=%.3f;"
                       "J2agl=%ld;J3agl=20.375;J4agl=-0.25;J5agl=75.5;J6agl=-90.125\r",
                       static_cast<double>(sendNs) / 1000.0, sequence);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 || std::atof(argv[1]) <= 0) {
    std::fprintf(stderr, "usage: bench_telemetry_writer RATE_HZ\n");
    return 2;
  }
  bench::exitAfter(900);
  bench::preciseTimers();
  const auto periodNs = static_cast<std::int64_t>(1e9 / std::atof(argv[1]));
  int port = 0;
  const int listener = bench::listenLoopback(port);
  std::printf("port %d\n", port);
  std::fflush(stdout);

  std::vector<int> clients;
  std::string command;
  bool paused = false;
  long sequence = 0;
  std::int64_t nextTick = bench::nowNs() + periodNs;
  char line[512];
  for (;;) {
    const std::int64_t wait = std::max<std::int64_t>(0, nextTick - bench::nowNs());
    const timespec timeout{static_cast<time_t>(wait / 1000000000),
                           static_cast<long>(wait % 1000000000)};
    pollfd watched[2] = {{listener, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    if (ppoll(watched, 2, &timeout, nullptr) > 0) {
      if (watched[0].revents & POLLIN) {
        const int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (client >= 0) {
          bench::noDelay(client);
          clients.push_back(client);
        }
      }
      if (watched[1].revents & (POLLIN | POLLHUP)) {
        char input[256];
        const ssize_t n = read(STDIN_FILENO, input, sizeof input);
        if (n <= 0) return 0;  // the driver is done
        command.append(input, static_cast<std::size_t>(n));
        for (std::size_t end; (end = command.find('\n')) != std::string::npos;) {
          const std::string word = command.substr(0, end);
          command.erase(0, end + 1);
          if (word == "pause") paused = true;
          if (word == "resume") paused = false;
          std::printf("%s\n", word.c_str());  // acknowledged: the change is in force
          std::fflush(stdout);
        }
      }
    }
    const std::int64_t now = bench::nowNs();
    if (now < nextTick) continue;
    // A late tick is not made up for: the rate stays the rate, the way the controller would.
    nextTick = std::max(nextTick + periodNs, now);
    if (paused) continue;
    ++sequence;
    for (std::size_t i = 0; i < clients.size();) {
      int length = sampleLine(line, sizeof line, bench::nowNs(), sequence);
      if (sequence % kStatusEvery == 0) {
        length += std::snprintf(line + length, sizeof line - length, "%s", kStatusLine);
      }
      const ssize_t sent =
          send(clients[i], line, static_cast<std::size_t>(length), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (sent == length || (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))) {
        ++i;  // a full socket skips this sample, as the latest-value stream allows
        continue;
      }
      close(clients[i]);  // gone, or a torn line: drop the client
      clients.erase(clients.begin() + static_cast<std::ptrdiff_t>(i));
    }
  }
}
