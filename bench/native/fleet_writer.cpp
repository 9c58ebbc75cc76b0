// A plant of telemetry writers for the fleet benchmark: CELLS listeners on 127.0.0.1, each
// standing in for one controller's Background Task. At RATE_HZ it writes one sample line to every
// client of every cell, with the send time on CLOCK_MONOTONIC in microseconds as J1agl and the
// cell's sequence number as J2agl, and a status line every 25 samples.
//
// While state changes are on, every cell flips its emergency stop (CtrlInfo bit 8) every
// CHANGE_EVERY samples, the cells' phases spread over that period. A change counts once the
// first status line that carries it has been written whole to a client.
//
// Usage: bench_fleet_writer CELLS RATE_HZ CHANGE_EVERY   prints "ports P1 P2 ..." once listening.
//   Standard input: "changes on" starts the flips; "changes off" stops them and prints
//   "changes N1 N2 ..." (the changes counted per cell); the program ends when its input closes.
#include <fcntl.h>
#include <poll.h>

#include <string>
#include <vector>

#include "bench_common.hpp"

namespace {

constexpr int kStatusEvery = 25;
constexpr unsigned kEmergencyStop = 0x100;

struct Cell {
  int listener = -1;
  int port = 0;
  std::vector<int> clients;
  long sequence = 0;
  bool stopped = false;        // the emergency stop state being written
  bool changePending = false;  // flipped, and no status line has carried it yet
  long changes = 0;
};

int sampleLine(char* out, std::size_t capacity, std::int64_t sendNs, long sequence) {
  return std::snprintf(out, capacity,
                       "X=412.518;Y=-20.003;Z=610.25;U=90.125;V=0.5;W=179.875;J1agl=%.3f;"
                       "J2agl=%ld;J3agl=20.375;J4agl=-0.25;J5agl=75.5;J6agl=-90.125\r",
                       static_cast<double>(sendNs) / 1000.0, sequence);
}

int statusLine(char* out, std::size_t capacity, bool stopped) {
  return std::snprintf(out, capacity, "STAT=0;SYSERR=0;CTRLDEV=21;ROBOTINFO=0;CTRLINFO=%u\r",
                       stopped ? kEmergencyStop : 0U);
}

void writeCycle(Cell& cell) {
  ++cell.sequence;
  char line[512];
  int length = sampleLine(line, sizeof line, bench::nowNs(), cell.sequence);
  const bool withStatus = cell.sequence % kStatusEvery == 0;
  if (withStatus) length += statusLine(line + length, sizeof line - length, cell.stopped);
  bool carried = false;
  for (std::size_t i = 0; i < cell.clients.size();) {
    const ssize_t sent =
        send(cell.clients[i], line, static_cast<std::size_t>(length), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent == length) {
      carried = true;
      ++i;
      continue;
    }
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      ++i;  // a full socket skips this sample, as the latest-value stream allows
      continue;
    }
    close(cell.clients[i]);  // gone, or a torn line: drop the client
    cell.clients.erase(cell.clients.begin() + static_cast<std::ptrdiff_t>(i));
  }
  if (withStatus && carried && cell.changePending) {
    cell.changePending = false;
    ++cell.changes;
  }
}

}  // namespace

int main(int argc, char** argv) {
  bench::start(argc, 3, "bench_fleet_writer CELLS RATE_HZ CHANGE_EVERY", 1800);
  const int count = std::atoi(argv[1]);
  const double rate = std::atof(argv[2]);
  const long changeEvery = std::atol(argv[3]);
  if (count < 1 || count > 4096 || rate <= 0 || changeEvery < kStatusEvery) {
    std::fprintf(stderr, "need 1..4096 cells, a positive rate, CHANGE_EVERY >= 25\n");
    return 2;
  }
  bench::preciseTimers();
  const auto periodNs = static_cast<std::int64_t>(1e9 / rate);
  std::vector<Cell> cells(static_cast<std::size_t>(count));
  std::printf("ports");
  for (auto& cell : cells) {
    cell.listener = bench::listenLoopback(cell.port);
    std::printf(" %d", cell.port);
  }
  std::printf("\n");
  std::fflush(stdout);

  std::vector<pollfd> watched;
  watched.push_back({STDIN_FILENO, POLLIN, 0});
  for (const auto& cell : cells) watched.push_back({cell.listener, POLLIN, 0});

  bool changing = false;
  long tick = 0;
  std::string command;
  std::int64_t nextTick = bench::nowNs() + periodNs;
  for (;;) {
    const std::int64_t wait = std::max<std::int64_t>(0, nextTick - bench::nowNs());
    const timespec timeout{static_cast<time_t>(wait / 1000000000),
                           static_cast<long>(wait % 1000000000)};
    if (ppoll(watched.data(), watched.size(), &timeout, nullptr) > 0) {
      if (watched[0].revents & (POLLIN | POLLHUP)) {
        char input[256];
        const ssize_t n = read(STDIN_FILENO, input, sizeof input);
        if (n <= 0) return 0;  // the driver is done
        command.append(input, static_cast<std::size_t>(n));
        for (std::size_t end; (end = command.find('\n')) != std::string::npos;) {
          const std::string word = command.substr(0, end);
          command.erase(0, end + 1);
          if (word == "changes on") {
            changing = true;
            std::printf("changes on\n");
          } else if (word == "changes off") {
            changing = false;
            std::printf("changes");
            for (const auto& cell : cells) {
              std::printf(" %ld", cell.changes + (cell.changePending ? 1 : 0));
            }
            std::printf("\n");
          }
          std::fflush(stdout);
        }
      }
      for (std::size_t i = 0; i < cells.size(); ++i) {
        if (!(watched[i + 1].revents & POLLIN)) continue;
        const int client =
            accept4(cells[i].listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (client >= 0) {
          bench::noDelay(client);
          cells[i].clients.push_back(client);
        }
      }
    }
    const std::int64_t now = bench::nowNs();
    if (now < nextTick) continue;
    // A late tick is not made up for: the rate stays the rate, the way the controller would.
    nextTick = std::max(nextTick + periodNs, now);
    ++tick;
    for (std::size_t i = 0; i < cells.size(); ++i) {
      Cell& cell = cells[i];
      const long phase = static_cast<long>(i) * changeEvery / count;
      if (changing && (tick + phase) % changeEvery == 0 && !cell.clients.empty()) {
        cell.stopped = !cell.stopped;
        // A flip before any status line carried the last one undoes it: nothing to see.
        cell.changePending = !cell.changePending;
      }
      writeCycle(cell);
    }
  }
}
