// Telemetry latency, ours against the floor, in alternating rounds against one writer whose
// samples carry their send time (CLOCK_MONOTONIC, microseconds) as J1agl:
//   floor  a bare reader blocking on its own connection, taking the time as soon as a line with
//          the send time is in its hands;
//   ours   EthernetReceiveInterface, whose reader stores each sample with the steady-clock time
//          at which it becomes visible; a poller reads the latest sample often enough to see
//          every one (the writer's sequence number in J2agl tells missed ones).
// The poller's own delay is not part of the figure: the sample's timestamp says when it became
// visible, which is what the library controls. The floor runs a twin of the poller, so that both
// sides are measured under the same scheduling load.
//
// Usage: bench_telemetry_latency PORT SAMPLES ROUNDS
// Prints one JSON object: per side the latencies in microseconds and the samples missed.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "bench_common.hpp"
#include "epson/receive_interface.hpp"

namespace {

constexpr int kWarmUpSamples = 20;  // connection set-up and first wake-ups are not steady state
constexpr auto kPollPeriod = std::chrono::microseconds(400);

struct Side {
  std::vector<double> latencies;
  long missed = 0;
};

double sentUs(const char* line, const char* end) {
  static const std::string key = "J1agl=";
  const std::string_view text(line, static_cast<std::size_t>(end - line));
  const std::size_t at = text.find(key);
  if (at == std::string_view::npos) return -1;
  return std::strtod(line + at + key.size(), nullptr);
}

/// While it lives, a thread that wakes as often as the poller of ours does and reads a value:
/// the floor runs under the same scheduling load as ours, whose poller is part of the
/// measurement, not of the library.
class PollerTwin {
 public:
  PollerTwin()
      : thread_([this] {
          while (!stop_.load()) {
            std::this_thread::sleep_for(kPollPeriod);
            seen_.store(latest.load());
          }
        }) {}
  ~PollerTwin() {
    stop_.store(true);
    thread_.join();
  }
  std::atomic<double> latest{0};

 private:
  std::atomic<bool> stop_{false};
  std::atomic<double> seen_{0};
  std::thread thread_;
};

void floorRound(int port, int samples, Side& side) {
  PollerTwin twin;
  const int fd = bench::connectLoopback(port);
  std::string buffer;
  char chunk[8192];
  int seen = 0;
  while (seen < samples + kWarmUpSamples) {
    const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    const std::int64_t now = bench::nowNs();
    if (n <= 0) bench::fail("floor recv");
    buffer.append(chunk, static_cast<std::size_t>(n));
    std::size_t start = 0;
    for (std::size_t end; (end = buffer.find('\r', start)) != std::string::npos; start = end + 1) {
      const double sent = sentUs(buffer.data() + start, buffer.data() + end);
      if (sent < 0) continue;  // a status line
      twin.latest.store(sent);
      if (++seen > kWarmUpSamples) {
        side.latencies.push_back(static_cast<double>(now) / 1000.0 - sent);
      }
    }
    buffer.erase(0, start);
  }
  close(fd);
}

void oursRound(int port, int samples, Side& side) {
  epson::EthernetReceiveInterface telemetry;
  telemetry.connect("127.0.0.1", static_cast<std::uint16_t>(port));
  double lastSequence = -1;
  int seen = 0;
  const std::int64_t deadline = bench::nowNs() + std::int64_t{30} * 1000000000;
  while (seen < samples + kWarmUpSamples && bench::nowNs() < deadline) {
    std::this_thread::sleep_for(kPollPeriod);
    const epson::TelemetrySample sample = telemetry.getSample();
    const double sequence = sample.joints[1];
    if (!sample.valid || sequence == lastSequence) continue;
    if (lastSequence >= 0 && sequence > lastSequence + 1) {
      side.missed += static_cast<long>(sequence - lastSequence - 1);
    }
    lastSequence = sequence;
    if (++seen > kWarmUpSamples) {
      const double visibleUs =
          std::chrono::duration<double, std::micro>(sample.timestamp.time_since_epoch()).count();
      side.latencies.push_back(visibleUs - sample.joints[0]);
    }
  }
  telemetry.disconnect();
}

void printSide(const char* name, const Side& side) {
  std::printf("\"%s\": {\"missed\": %ld, \"latencies_us\": [", name, side.missed);
  for (std::size_t i = 0; i < side.latencies.size(); ++i) {
    std::printf("%s%.3f", i == 0 ? "" : ", ", side.latencies[i]);
  }
  std::printf("]}");
}

}  // namespace

int main(int argc, char** argv) {
  bench::start(argc, 3, "bench_telemetry_latency PORT SAMPLES ROUNDS", 120);
  bench::preciseTimers();
  const int port = std::atoi(argv[1]);
  const int samples = std::atoi(argv[2]);
  const int rounds = std::atoi(argv[3]);
  Side floor;
  Side ours;
  for (int round = 0; round < rounds; ++round) {
    // Alternate which side goes first, so a drift of the machine's load hits both alike.
    if (round % 2 == 0) {
      floorRound(port, samples, floor);
      oursRound(port, samples, ours);
    } else {
      oursRound(port, samples, ours);
      floorRound(port, samples, floor);
    }
  }
  std::printf("{");
  printSide("floor", floor);
  std::printf(", ");
  printSide("ours", ours);
  std::printf("}\n");
  return 0;
}
