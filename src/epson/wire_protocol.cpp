#include "epson/wire_protocol.hpp"

#include <algorithm>
#include <charconv>
#include <optional>
#include <stdexcept>

#include "epson/core_helpers.hpp"
#include "epson/errors.hpp"

namespace epson::wire {

namespace {

constexpr std::string_view kLoginRequestStart = "$Login,";
constexpr std::string_view kRedactedLogin = "$Login,<redacted>";
constexpr std::string_view kErrorCode99Note =
    " (Epson Remote Ethernet error 99: system error or communication error; no motion error code "
    "was returned)";

}  // namespace

std::string expectedReplyPrefix(std::string_view request) {
  const std::size_t comma = request.find(',');
  std::string prefix = "#";
  if (request.size() > 1) {
    const std::size_t end = comma == std::string_view::npos ? request.size() : comma;
    if (end > 1) prefix.append(request.substr(1, end - 1));
  }
  return prefix;
}

std::string shownCommandText(std::string_view request) {
  if (startsWith(request, kLoginRequestStart)) return std::string(kRedactedLogin);
  return std::string(request);
}

bool isSuccessReply(std::string_view reply, std::string_view prefix) {
  return startsWith(reply, prefix) &&
         (reply.size() == prefix.size() || reply[prefix.size()] == ',');
}

std::string_view replyName(std::string_view reply) {
  if (reply.empty()) return {};
  const std::size_t comma = reply.find(',');
  return reply.substr(1, comma == std::string_view::npos ? std::string_view::npos : comma - 1);
}

LoginEffect checkReply(std::string_view reply, std::string_view request) {
  if (reply.empty()) throw ProtocolError("Empty response from Epson controller");
  if (reply.front() == '#') {
    if (startsWith(reply, "#Login")) return LoginEffect::kLoggedIn;
    if (startsWith(reply, "#Logout")) return LoginEffect::kLoggedOut;
    return LoginEffect::kNone;
  }
  if (reply.front() == '!') {
    std::string message = "Remote command failed: ";
    message.append(reply);
    std::optional<int> code;
    const std::size_t firstComma = reply.find(',');
    if (firstComma != std::string_view::npos) {
      const std::size_t secondComma = reply.find(',', firstComma + 1);
      const std::string_view codeText = reply.substr(
          firstComma + 1, secondComma == std::string_view::npos ? std::string_view::npos
                                                                : secondComma - firstComma - 1);
      if (codeText == "99") message.append(kErrorCode99Note);
      int number = 0;
      const auto [end, error] =
          std::from_chars(codeText.data(), codeText.data() + codeText.size(), number);
      if (!codeText.empty() && error == std::errc() && end == codeText.data() + codeText.size()) {
        code = number;
      }
    }
    const std::string shown = shownCommandText(request);
    message.append(" (command: ").append(shown).append(")");
    throw ControllerError(message, code, shown, std::string(reply));
  }
  throw ProtocolError("Invalid remote command response: " + std::string(reply));
}

std::string executePayload(std::string_view reply) {
  const std::size_t first = reply.find('"');
  const std::size_t last = reply.rfind('"');
  if (first == std::string_view::npos || first == last) {
    throw ProtocolError("Unexpected Execute response: " + std::string(reply));
  }
  return std::string(reply.substr(first + 1, last - first - 1));
}

std::string executeRequest(std::string_view statement) {
  std::string request = "$Execute,\"";
  request.append(statement);
  request.push_back('"');
  return request;
}

bool hasOpenQuote(std::string_view text) {
  return std::count(text.begin(), text.end(), '"') % 2 != 0;
}

void throwReplyTooLong() {
  throw ProtocolError("Epson Remote Ethernet response exceeds " + std::to_string(kMaxReplyBytes) +
                      " bytes");
}

}  // namespace epson::wire
