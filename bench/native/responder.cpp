// A minimal Remote Ethernet peer for the benchmarks: answers every request line the moment it is
// complete, on any number of connections, from one epoll thread, so it is never the bottleneck.
//
// Usage: bench_responder        prints "port N" once listening on 127.0.0.1; ends when its
//                               standard input closes (or after the watchdog's limit).
#include <fcntl.h>
#include <sys/epoll.h>

#include <string>
#include <string_view>
#include <unordered_map>

#include "bench_common.hpp"

namespace {

constexpr std::string_view kStateRequest =
    "$Execute,\"Print Agl(1),Agl(2),Agl(3),Agl(4),Agl(5),Agl(6),"
    "CX(Here),CY(Here),CZ(Here),CU(Here),CV(Here),CW(Here)\"";
// Print output as a controller writes it: every number preceded by a blank.
constexpr std::string_view kStateReply =
    "#Execute,\" 10.5 -35.25 20 0 75.5 -90 412.5 -20.125 610.25 90 0 180\"\r\n";
constexpr std::string_view kToolRequest = "$Execute,\"Print Tool\"";
constexpr std::string_view kToolReply = "#Execute,\" 0\"\r\n";

/// The reply to one request line (without its CR LF): "#" + the request name + ",0" unless the
/// request is one of the queries above.
std::string replyTo(std::string_view request) {
  if (request == kToolRequest) return std::string(kToolReply);
  if (request == kStateRequest) return std::string(kStateReply);
  std::string_view name = request.substr(0, request.find(','));
  if (!name.empty() && name.front() == '$') name.remove_prefix(1);
  return "#" + std::string(name) + ",0\r\n";
}

void sendAll(int fd, const std::string& data) {
  std::size_t sent = 0;
  while (sent < data.size()) {
    const ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // the client went away; its read side reports it
    sent += static_cast<std::size_t>(n);
  }
}

}  // namespace

int main() {
  bench::exitAfter(900);
  int port = 0;
  const int listener = bench::listenLoopback(port);
  const int epoll = epoll_create1(EPOLL_CLOEXEC);
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.fd = listener;
  epoll_ctl(epoll, EPOLL_CTL_ADD, listener, &event);
  event.data.fd = STDIN_FILENO;
  epoll_ctl(epoll, EPOLL_CTL_ADD, STDIN_FILENO, &event);
  std::printf("port %d\n", port);
  std::fflush(stdout);

  std::unordered_map<int, std::string> pending;  // bytes of an unfinished request line
  epoll_event ready[64];
  char buffer[65536];
  for (;;) {
    const int count = epoll_wait(epoll, ready, 64, -1);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) bench::fail("epoll_wait");
    for (int i = 0; i < count; ++i) {
      const int fd = ready[i].data.fd;
      if (fd == STDIN_FILENO) {
        if (read(STDIN_FILENO, buffer, sizeof buffer) <= 0) return 0;  // the driver is done
        continue;
      }
      if (fd == listener) {
        const int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) continue;
        bench::noDelay(client);
        event.events = EPOLLIN;
        event.data.fd = client;
        epoll_ctl(epoll, EPOLL_CTL_ADD, client, &event);
        pending[client].clear();
        continue;
      }
      const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) {
        epoll_ctl(epoll, EPOLL_CTL_DEL, fd, nullptr);
        close(fd);
        pending.erase(fd);
        continue;
      }
      std::string& text = pending[fd];
      text.append(buffer, static_cast<std::size_t>(n));
      std::string replies;
      std::size_t start = 0;
      for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        std::size_t stop = end;
        if (stop > start && text[stop - 1] == '\r') --stop;
        replies += replyTo(std::string_view(text).substr(start, stop - start));
      }
      text.erase(0, start);
      if (!replies.empty()) sendAll(fd, replies);
    }
  }
}
