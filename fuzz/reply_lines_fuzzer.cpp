// Arbitrary controller output read by a real command session over a socket pair: the reply it
// settles on (or its failure) must be the one a reference of the framing rules gives. Physical
// lines end at LF with one CR before it dropped; a line with an open double quote goes on in the
// next one, joined by LF; replies of expired motion-control requests are swallowed, replies of a
// pending one are routed to it. Also checks the pure reply rules on every logical line.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "epson/session_core.hpp"
#include "epson/session_core_seam.hpp"
#include "epson/wire_protocol.hpp"

namespace {

namespace wire = epson::wire;

constexpr const char* kRequests[] = {
    "$Execute,\"Print Tool\"", "$Login,secret", "$Logout", "$Pause", "$GetStatus", "$Continue",
    "$Execute,\"Go P1\"",      "$Reset",
};

void check(bool condition) {
  if (!condition) std::abort();
}

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

/// What an exception's what() shows of a message: it ends at the first NUL byte.
std::string shown(const std::string& message) {
  return message.substr(0, message.find('\0'));
}

/// The complete logical lines of `data`, in order; a trailing incomplete one is left out.
std::vector<std::string> logicalLines(std::string_view data) {
  std::vector<std::string> physical;
  for (std::size_t end; (end = data.find('\n')) != std::string_view::npos;) {
    std::string_view line = data.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    physical.emplace_back(line);
    data.remove_prefix(end + 1);
  }
  std::vector<std::string> logical;
  for (std::size_t i = 0; i < physical.size();) {
    std::string text = physical[i++];
    std::size_t quotes = 0;
    for (const char c : text) quotes += c == '"';
    while (quotes % 2 != 0 && i < physical.size()) {
      text += '\n' + physical[i];
      for (const char c : physical[i]) quotes += c == '"';
      ++i;
    }
    if (quotes % 2 != 0) break;  // the joined line never ended
    logical.push_back(text);
  }
  return logical;
}

/// A success reply of the request `prefix` names: "#GetIO,1" for "#GetIO", not "#GetIOByte,01".
bool answers(std::string_view line, std::string_view prefix) {
  return startsWith(line, prefix) && (line.size() == prefix.size() || line[prefix.size()] == ',');
}

/// The reply the session must settle on, or nothing when it must fail.
std::optional<std::string> expectedReply(const std::vector<std::string>& lines,
                                         const std::string& request,
                                         std::deque<std::string>& expired,
                                         const std::string& pendingPrefix,
                                         std::optional<std::string>& routed) {
  const std::string expected = wire::expectedReplyPrefix(request);
  for (const std::string& line : lines) {
    if (line.empty()) return std::nullopt;
    if (line[0] == '#' || line[0] == '!') {
      const std::string name(wire::replyName(line));
      bool swallowed = false;
      for (auto it = expired.begin(); it != expired.end(); ++it) {
        if (*it == name) {
          expired.erase(it);
          swallowed = true;
          break;
        }
      }
      if (swallowed) continue;
    }
    // "#..." always passes the reply check; the name must end where the request's does.
    if (answers(line, expected)) return line;
    if (!pendingPrefix.empty()) {
      const bool forPending = line[0] == '!' ? wire::replyName(line) == pendingPrefix.substr(1)
                                             : answers(line, pendingPrefix);
      if (forPending) {
        routed = line;
        continue;
      }
    }
    return std::nullopt;
  }
  return std::nullopt;  // the peer closed before the reply
}

void checkPureRules(const std::string& line, const std::string& request) {
  try {
    const wire::LoginEffect effect = wire::checkReply(line, request);
    check(!line.empty() && line[0] == '#');
    check((effect == wire::LoginEffect::kLoggedIn) == startsWith(line, "#Login"));
  } catch (const std::runtime_error& error) {
    check(line.empty() || line[0] != '#');
    const std::string message = error.what();
    if (!line.empty() && line[0] == '!') {
      check(startsWith(message, shown("Remote command failed: " + line)));
      if (line.find('\0') == std::string::npos) {
        check(message.back() == ')');
        check(message.find("(command: " + wire::shownCommandText(request) + ")") !=
              std::string::npos);
      }
      // The password of a login request never shows.
      check(message.find("secret") == std::string::npos ||
            line.find("secret") != std::string::npos);
    }
  }
  try {
    const std::string payload = wire::executePayload(line);
    const std::size_t first = line.find('"');
    check(line.compare(first + 1, payload.size(), payload) == 0);
    check(line.rfind('"') == first + 1 + payload.size());
  } catch (const std::runtime_error&) {
    const std::size_t first = line.find('"');
    check(first == std::string::npos || first == line.rfind('"'));
  }
  // The same text taken as a request: its success reply carries the name it expects, and a login
  // shows without its password.
  const std::string prefix = wire::expectedReplyPrefix(line);
  check(startsWith(prefix, "#") && wire::replyName(prefix + ",0") == prefix.substr(1));
  const std::string shownRequest = wire::shownCommandText(line);
  check(startsWith(line, "$Login,") ? shownRequest == "$Login,<redacted>" : shownRequest == line);
}

}  // namespace

// Input: one control byte (request, an expired request's name, a pending request's prefix), then
// the bytes the controller sends before it closes the connection.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1 || size > 65536) return 0;
  const std::uint8_t control = data[0];
  const std::string request = kRequests[control & 7];
  const std::string_view output(reinterpret_cast<const char*>(data + 1), size - 1);

  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) std::abort();
  // The controller answers once the request has arrived (bytes that were there before it are
  // stale and discarded), then closes its side: the session sees the bytes in the chunks its
  // reads happen to get, then end of file.
  const int bufferSize = 1 << 20;
  ::setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &bufferSize, sizeof bufferSize);
  ::setsockopt(fds[0], SOL_SOCKET, SO_RCVBUF, &bufferSize, sizeof bufferSize);
  std::thread controller([&output, peer = fds[1]] {
    for (char c = 0; c != '\n';) {
      if (::recv(peer, &c, 1, 0) != 1) break;
    }
    std::size_t sent = 0;
    while (sent < output.size()) {
      const ssize_t n = ::send(peer, output.data() + sent, output.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<std::size_t>(n);
    }
    ::shutdown(peer, SHUT_WR);
  });

  std::deque<std::string> expired;
  if ((control & 0x08) != 0) expired.push_back("Pause");
  if ((control & 0x10) != 0) expired.push_back("Continue");
  const std::string pendingPrefix = (control & 0x20) != 0 ? "#Pause" : "";

  std::optional<std::string> routed;
  std::deque<std::string> expiredLeft = expired;
  const std::vector<std::string> lines = logicalLines(output);
  const std::optional<std::string> expected =
      expectedReply(lines, request, expiredLeft, pendingPrefix, routed);
  for (const std::string& line : lines) checkPureRules(line, request);

  {
    epson::SessionCore session;
    epson::SessionCoreSeam::adoptConnectedSocket(session, fds[0], (control & 0x40) != 0);
    epson::SessionCoreSeam::setExpiredRequests(session, expired);
    if (!pendingPrefix.empty()) epson::SessionCoreSeam::setPending(session, pendingPrefix);

    std::optional<std::string> reply;
    try {
      const epson::ConnectionLock lock(session);
      session.command(lock.held(), request, epson::kCommandTimeoutMs);
      reply = session.lastResponse(lock.held());
    } catch (const std::runtime_error&) {
    }
    check(reply == expected);
    if (reply) {
      check(epson::SessionCoreSeam::expiredRequests(session) == expiredLeft);
      check(session.connectionOpen());
      if (startsWith(*reply, "#Login")) check(session.loggedInFlag());
      if (startsWith(*reply, "#Logout")) check(!session.loggedInFlag());
    }
    if (routed && reply) check(epson::SessionCoreSeam::pendingReply(session) == *routed);
    controller.join();
  }  // the session closes its end; a core sends nothing when it goes
  ::close(fds[1]);
  return 0;
}
