// A seam for unit tests and fuzzers: a session core on a socket the test connected itself, and
// the motion-control state a scenario starts from. The product never includes this header.
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <deque>
#include <mutex>
#include <string>

#include "epson/session_core.hpp"

namespace epson {

class SessionCoreSeam {
 public:
  /// Takes `fd` (one end of a connected socket pair, say) as the session's connection.
  static void adoptConnectedSocket(SessionCore& session, int fd, bool loggedIn) {
    session.socket_.assign(boost::asio::ip::tcp::v4(), fd);
    session.connected_.store(true);
    session.loggedIn_.store(loggedIn);
  }

  /// Forgets the connection without a word to the peer, so that nothing is sent at the end.
  static void forgetConnection(SessionCore& session) { session.connected_.store(false); }

  static void setExpiredRequests(SessionCore& session, std::deque<std::string> names) {
    const std::lock_guard<std::mutex> lock(session.pendingMutex_);
    session.expiredRequestNames_ = std::move(names);
  }
  static std::deque<std::string> expiredRequests(SessionCore& session) {
    const std::lock_guard<std::mutex> lock(session.pendingMutex_);
    return session.expiredRequestNames_;
  }

  /// A motion-control request waiting for its reply, as another thread's pause would leave it.
  static void setPending(SessionCore& session, std::string prefix) {
    const std::lock_guard<std::mutex> lock(session.pendingMutex_);
    session.pendingPrefix_ = std::move(prefix);
    session.pendingGeneration_ = session.connectionGeneration_;
  }
  static std::string pendingReply(SessionCore& session) {
    const std::lock_guard<std::mutex> lock(session.pendingMutex_);
    return session.pendingReply_;
  }
};

}  // namespace epson
