#include "epson/programs_status.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <stdexcept>
#include <string>
#include <string_view>

#include "epson/caller_text.hpp"
#include "epson/core_helpers.hpp"
#include "epson/errors.hpp"
#include "epson/wire_protocol.hpp"

namespace epson::ops {

namespace {

constexpr std::int64_t kMaxFunction = 63;
constexpr std::string_view kStatusPrefix = "#GetStatus,";
constexpr std::size_t kStatusFlags = 11;

/// Statements that move the arm (and keep the controller busy until it stops); compared with the
/// statement's first word, case ignored.
constexpr std::array<std::string_view, 18> kMotionStatements = {
    "Go",  "Move",  "Jump", "Jump3", "Jump3CP", "Arc",   "Arc3",  "BGo",  "BMove",
    "TGo", "TMove", "Pass", "Pulse", "CVMove",  "JTran", "PTran", "Home", "Mcal"};

std::string firstWord(const std::string& statement) {
  const auto begin = std::find_if(statement.begin(), statement.end(), [](char c) {
    return std::isspace(static_cast<unsigned char>(c)) == 0;
  });
  const auto end = std::find_if(begin, statement.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) == 0 && c != '_';
  });
  return std::string(begin, end);
}

bool isMotionStatement(const std::string& statement) {
  const std::string word = firstWord(statement);
  return std::any_of(kMotionStatements.begin(), kMotionStatements.end(),
                     [&](std::string_view motion) { return sameIgnoringCase(word, motion); });
}

RemoteStatus parseRemoteStatus(const std::string& reply) {
  const auto fail = [&] {
    throw ProtocolError("Failed to parse Epson $GetStatus response: \"" + reply + "\"");
  };
  if (reply.compare(0, kStatusPrefix.size(), kStatusPrefix) != 0) fail();
  const std::string_view rest = std::string_view(reply).substr(kStatusPrefix.size());
  const std::size_t comma = rest.find(',');
  const std::string_view flags = rest.substr(0, comma);
  const std::string_view code = comma == std::string_view::npos ? "" : rest.substr(comma + 1);
  if (flags.size() != kStatusFlags ||
      !std::all_of(flags.begin(), flags.end(), [](char c) { return c == '0' || c == '1'; }) ||
      code.empty() || code.size() > 9 || !std::all_of(code.begin(), code.end(), [](char c) {
        return std::isdigit(static_cast<unsigned char>(c)) != 0;
      })) {
    fail();
  }
  RemoteStatus status;
  bool* const order[kStatusFlags] = {&status.test,
                                     &status.teach_mode,
                                     &status.auto_mode,
                                     &status.warning,
                                     &status.severe_error,
                                     &status.safeguard_open,
                                     &status.emergency_stopped,
                                     &status.error,
                                     &status.paused,
                                     &status.running,
                                     &status.ready};
  for (std::size_t i = 0; i < kStatusFlags; ++i) *order[i] = flags[i] == '1';
  status.error_code = std::stoi(std::string(code));
  return status;
}

}  // namespace

void startProgram(SessionCore& session, std::int64_t function) {
  if (function < 0 || function > kMaxFunction) {
    throw std::invalid_argument("function must be an integer from 0 to 63");
  }
  const ConnectionLock lock(session);
  session.command(lock.held(), "$Start," + std::to_string(function), kCommandTimeoutMs);
}

void stopPrograms(SessionCore& session) {
  const ConnectionLock lock(session);
  session.command(lock.held(), "$Stop", kCommandTimeoutMs);
}

RemoteStatus getRemoteStatus(SessionCore& session) {
  return parseRemoteStatus(session.motionControl("$GetStatus"));
}

std::string executeStatement(SessionCore& session, const std::string& statement) {
  checkVerbatimText(statement, "statement");
  if (firstWord(statement).empty()) throw std::invalid_argument("statement must not be empty");
  if (isMotionStatement(statement)) throw std::invalid_argument("use go() or move() for motion");
  const ConnectionLock lock(session);
  session.command(lock.held(), wire::executeRequest(statement), kCommandTimeoutMs);
  const std::string& reply = session.lastResponse(lock.held());
  return reply.find('"') == std::string::npos ? std::string() : wire::executePayload(reply);
}

}  // namespace epson::ops
