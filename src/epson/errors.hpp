// The failures of the library, by kind. Every one is a std::runtime_error whose what() is the
// message as it always read; the kind says what happened without parsing the text.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

namespace epson {

/// The base of every failure the controller, the network or a time-out causes.
class EpsonError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// A failure reply of the controller ("!Execute,99"), with its code, the request as the message
/// shows it (a login's password redacted) and the reply line.
class ControllerError : public EpsonError {
 public:
  ControllerError(const std::string& message, std::optional<int> code, std::string request,
                  std::string reply)
      : EpsonError(message), code_(code), request_(std::move(request)), reply_(std::move(reply)) {}

  std::optional<int> code() const { return code_; }
  const std::string& request() const { return request_; }
  const std::string& reply() const { return reply_; }

 private:
  std::optional<int> code_;
  std::string request_;
  std::string reply_;
};

/// A reply, a write or a connect attempt that did not complete in time.
class EpsonTimeout : public EpsonError {
 public:
  using EpsonError::EpsonError;
};

/// A connect that failed, or a connection that failed or was dropped during a call.
class ConnectionLost : public EpsonError {
 public:
  using EpsonError::EpsonError;
};

/// A call on a session that is not connected (or not logged in).
class NotConnected : public EpsonError {
 public:
  using EpsonError::EpsonError;
};

/// An unexpected, empty, over-long or unparsable reply.
class ProtocolError : public EpsonError {
 public:
  using EpsonError::EpsonError;
};

/// Throws a copy of the failure `error` is (its kind kept) with `message` instead.
[[noreturn]] void rethrowWithMessage(const std::exception& error, const std::string& message);

}  // namespace epson
