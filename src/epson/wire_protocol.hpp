// Remote Ethernet framing rules: request forms, reply matching, reply checks, payloads.
// Pure functions; the session applies them to the socket.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace epson::wire {

/// Largest logical reply line accepted; a peer that sends more without ending it is broken.
constexpr std::size_t kMaxReplyBytes = 1048576;

/// Ends a running or paused motion (and the controller's tasks); reply "#Abort,0".
inline const std::string kAbortRequest = "$Abort";

/// "#" + the request name: "$Execute,\"Go P1\"" expects "#Execute", "$Pause" expects "#Pause".
std::string expectedReplyPrefix(std::string_view request);

/// The request as it may appear in a message: a login shows as "$Login,<redacted>".
std::string shownCommandText(std::string_view request);

/// True when `reply` is the success reply `prefix` names ("#GetIO" answers "#GetIO,1" but not
/// "#GetIOByte,1F", which shares its first letters).
bool isSuccessReply(std::string_view reply, std::string_view prefix);

/// The name a reply line answers: the text between its first character and its first comma
/// ("#Pause,0" and "!Pause,21" both name "Pause"). Empty for an empty line.
std::string_view replyName(std::string_view reply);

/// What a checked success reply does to the login state.
enum class LoginEffect { kNone, kLoggedIn, kLoggedOut };

/// Checks one reply to `request`. Returns the effect of a success reply; throws
/// std::runtime_error for an empty, failure ("!") or malformed reply.
LoginEffect checkReply(std::string_view reply, std::string_view request);

/// The text between the first and the last double quote of an `$Execute` reply.
std::string executePayload(std::string_view reply);

/// `$Execute,"` + statement + `"`; the statement is not escaped.
std::string executeRequest(std::string_view statement);

/// True when the text holds an odd number of double quotes, so the reply goes on in the next
/// physical line.
bool hasOpenQuote(std::string_view text);

/// Throws std::runtime_error when a logical reply line has outgrown kMaxReplyBytes.
[[noreturn]] void throwReplyTooLong();

}  // namespace epson::wire
