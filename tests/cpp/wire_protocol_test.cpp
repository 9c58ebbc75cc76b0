#include "epson/wire_protocol.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace {

using epson::wire::checkReply;
using epson::wire::executePayload;
using epson::wire::expectedReplyPrefix;
using epson::wire::LoginEffect;

std::string failureMessage(const std::string& reply, const std::string& request) {
  try {
    checkReply(reply, request);
  } catch (const std::runtime_error& error) {
    return error.what();
  }
  ADD_FAILURE() << "no exception for " << reply;
  return {};
}

TEST(ExpectedReplyPrefix, TakesTheRequestNameUpToTheFirstComma) {
  EXPECT_EQ(expectedReplyPrefix("$Execute,\"Go P1, P2\""), "#Execute");
  EXPECT_EQ(expectedReplyPrefix("$Login,secret"), "#Login");
  EXPECT_EQ(expectedReplyPrefix("$Login,"), "#Login");
  EXPECT_EQ(expectedReplyPrefix("$Continue"), "#Continue");
  EXPECT_EQ(expectedReplyPrefix("$"), "#");
  EXPECT_EQ(expectedReplyPrefix(""), "#");
}

TEST(CheckReply, LoginStateChangesOnlyOnLoginAndLogoutReplies) {
  EXPECT_EQ(checkReply("#Login", "$Login,"), LoginEffect::kLoggedIn);
  EXPECT_EQ(checkReply("#Login,0", "$Login,"), LoginEffect::kLoggedIn);
  EXPECT_EQ(checkReply("#Log", "$Login,"), LoginEffect::kNone);
  EXPECT_EQ(checkReply("#Logout,0", "$Logout"), LoginEffect::kLoggedOut);
  EXPECT_EQ(checkReply("#Execute,0", "$Execute,\"Reset\""), LoginEffect::kNone);
}

TEST(CheckReply, FailureMessagesCarryTheReplyAndTheShownCommand) {
  EXPECT_EQ(failureMessage("!Execute,11", "$Execute,\"Reset\""),
            "Remote command failed: !Execute,11 (command: $Execute,\"Reset\")");
  EXPECT_EQ(failureMessage("!Login,13", "$Login,hunter2"),
            "Remote command failed: !Login,13 (command: $Login,<redacted>)");
  EXPECT_EQ(failureMessage("!Execute", "$Execute,\"Reset\""),
            "Remote command failed: !Execute (command: $Execute,\"Reset\")");
}

TEST(CheckReply, ErrorCode99GetsItsNoteOnlyForExactly99) {
  const std::string note =
      " (Epson Remote Ethernet error 99: system error or communication error; no motion error "
      "code was returned)";
  EXPECT_EQ(failureMessage("!Execute,99", "$Execute,\"Motor On\""),
            "Remote command failed: !Execute,99" + note + " (command: $Execute,\"Motor On\")");
  EXPECT_EQ(failureMessage("!Execute,99,4001,x", "$Execute,\"Go P1\""),
            "Remote command failed: !Execute,99,4001,x" + note + " (command: $Execute,\"Go P1\")");
  for (const char* reply : {"!Execute,099", "!Execute, 99", "!Execute99", "!Execute,9"}) {
    EXPECT_EQ(failureMessage(reply, "$Execute,\"Go P1\"").find("error 99"), std::string::npos)
        << reply;
  }
}

TEST(CheckReply, EmptyAndMalformedReplies) {
  EXPECT_EQ(failureMessage("", "$Logout"), "Empty response from Epson controller");
  EXPECT_EQ(failureMessage("Execute,0", "$Logout"), "Invalid remote command response: Execute,0");
}

TEST(ExecutePayload, TextBetweenFirstAndLastQuote) {
  EXPECT_EQ(executePayload("#Execute,\" 1 2\""), " 1 2");
  EXPECT_EQ(executePayload("#Execute,\"\""), "");
  EXPECT_EQ(executePayload("#Execute,\"say \"hi\"\nthere\""), "say \"hi\"\nthere");
  for (const char* reply : {"#Execute,0", "#Execute,\"open"}) {
    try {
      executePayload(reply);
      ADD_FAILURE() << reply;
    } catch (const std::runtime_error& error) {
      EXPECT_EQ(std::string(error.what()), std::string("Unexpected Execute response: ") + reply);
    }
  }
}

TEST(ShownCommandText, RedactsOnlyLoginRequests) {
  EXPECT_EQ(epson::wire::shownCommandText("$Login,pw"), "$Login,<redacted>");
  EXPECT_EQ(epson::wire::shownCommandText("$Login,"), "$Login,<redacted>");
  EXPECT_EQ(epson::wire::shownCommandText("$Logout"), "$Logout");
}

TEST(ReplyName, NamesTheRequestOfSuccessAndFailureReplies) {
  EXPECT_EQ(epson::wire::replyName("#Pause,0"), "Pause");
  EXPECT_EQ(epson::wire::replyName("!Pause,21"), "Pause");
  EXPECT_EQ(epson::wire::replyName("#Pause"), "Pause");
  EXPECT_EQ(epson::wire::replyName(""), "");
}

}  // namespace
