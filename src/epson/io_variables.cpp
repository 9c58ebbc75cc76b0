// Inputs, outputs, memory I/O and Global Preserve variables: every argument is checked and every
// request line built before the connection is taken.
#include "epson/io_variables.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>

#include "epson/caller_text.hpp"
#include "epson/core_helpers.hpp"
#include "epson/errors.hpp"
#include "epson/interruption.hpp"
#include "epson/numbers.hpp"
#include "epson/wire_protocol.hpp"

namespace epson::ops {

namespace {

constexpr std::int64_t kMaxBit = 65535;
constexpr std::int64_t kMaxPort = 65535;
constexpr std::size_t kMaxIdentifier = 32;
constexpr std::size_t kMaxStringValue = 255;
constexpr double kMaxWaitS = 86400.0;

void checkIndex(std::int64_t value, std::int64_t max, const char* what) {
  if (value < 0 || value > max) {
    throw std::invalid_argument(std::string(what) + " must be an integer from 0 to " +
                                std::to_string(max));
  }
}

/// "$Name,arguments": the request, its reply then read under one hold of the connection.
std::string request(std::string_view name, const std::string& arguments) {
  std::string line = "$";
  line.append(name);
  if (!arguments.empty()) line.append(",").append(arguments);
  return line;
}

[[noreturn]] void throwUnparsable(const std::string& line, const std::string& reply) {
  throw ProtocolError("Failed to parse Epson " + wire::shownCommandText(line) +
                      " response: " + numbers::quoted(reply));
}

/// The text after "#Name," of the reply to `line`.
std::string replyValue(const std::string& line, const std::string& reply) {
  const std::string prefix = wire::expectedReplyPrefix(line);
  if (reply.size() <= prefix.size() || reply[prefix.size()] != ',') throwUnparsable(line, reply);
  return reply.substr(prefix.size() + 1);
}

std::string ask(SessionCore& session, const std::string& line) {
  const ConnectionLock lock(session);
  session.command(lock.held(), line, kCommandTimeoutMs);
  return session.lastResponse(lock.held());
}

/// A reply value of exactly `digits` hexadecimal digits, either case.
std::int64_t hexValue(const std::string& line, const std::string& reply, std::size_t digits) {
  const std::string text = replyValue(line, reply);
  std::uint32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
  if (text.size() != digits || error != std::errc() || end != text.data() + text.size()) {
    throwUnparsable(line, reply);
  }
  return value;
}

std::string hexText(std::int64_t value, int digits) {
  static constexpr std::array<char, 16> kDigits = {'0', '1', '2', '3', '4', '5', '6', '7',
                                                   '8', '9', 'A', 'B', 'C', 'D', 'E', 'F'};
  std::string text(static_cast<std::size_t>(digits), '0');
  for (int i = digits - 1; i >= 0; --i, value >>= 4) {
    text[static_cast<std::size_t>(i)] = kDigits[static_cast<std::size_t>(value & 0xF)];
  }
  return text;
}

bool bitValue(const std::string& line, const std::string& reply) {
  const std::string text = replyValue(line, reply);
  if (text == "0") return false;
  if (text == "1") return true;
  throwUnparsable(line, reply);
}

bool getBit(SessionCore& session, std::string_view name, std::int64_t bit) {
  checkIndex(bit, kMaxBit, "bit");
  const std::string line = request(name, std::to_string(bit));
  return bitValue(line, ask(session, line));
}

void setBit(SessionCore& session, std::string_view name, std::int64_t bit, bool on) {
  checkIndex(bit, kMaxBit, "bit");
  ask(session, request(name, std::to_string(bit) + (on ? ",1" : ",0")));
}

std::int64_t getPort(SessionCore& session, std::string_view name, std::int64_t port,
                     std::size_t digits) {
  checkIndex(port, kMaxPort, "port");
  const std::string line = request(name, std::to_string(port));
  return hexValue(line, ask(session, line), digits);
}

void setPort(SessionCore& session, std::string_view name, std::int64_t port, std::int64_t value,
             std::int64_t max, int digits) {
  checkIndex(port, kMaxPort, "port");
  checkIndex(value, max, "value");
  ask(session, request(name, std::to_string(port) + "," + hexText(value, digits)));
}

/// An integer a `Print` of an output function wrote.
std::int64_t printedInteger(SessionCore& session, const std::string& statement) {
  const ConnectionLock lock(session);
  return numbers::parseControllerInteger(session.execute(lock.held(), statement));
}

// --- variables ---------------------------------------------------------------------------------

enum class Kind { kBoolean, kSigned, kUnsigned, kReal, kString };

struct VariableType {
  std::string_view name;
  Kind kind;
  /// The range of the integer kinds; for kReal the largest magnitude.
  double lowest;
  double highest;
};

constexpr double kInt32Min = std::numeric_limits<std::int32_t>::min();
constexpr double kInt32Max = std::numeric_limits<std::int32_t>::max();

constexpr std::array<VariableType, 14> kVariableTypes = {{
    {"Boolean", Kind::kBoolean, 0, 0},
    {"Byte", Kind::kSigned, -128, 127},
    {"UByte", Kind::kUnsigned, 0, 255},
    {"Short", Kind::kSigned, -32768, 32767},
    {"Integer", Kind::kSigned, -32768, 32767},
    {"UShort", Kind::kUnsigned, 0, 65535},
    {"Long", Kind::kSigned, kInt32Min, kInt32Max},
    {"Int32", Kind::kSigned, kInt32Min, kInt32Max},
    {"UInt32", Kind::kUnsigned, 0, 4294967295.0},
    {"Int64", Kind::kSigned, 0, 0},
    {"UInt64", Kind::kUnsigned, 0, 0},
    {"Real", Kind::kReal, 0, std::numeric_limits<float>::max()},
    {"Double", Kind::kReal, 0, std::numeric_limits<double>::max()},
    {"String", Kind::kString, 0, 0},
}};

const VariableType& variableType(const std::string& name) {
  for (const VariableType& type : kVariableTypes) {
    if (sameIgnoringCase(type.name, name)) return type;
  }
  std::string known;
  for (const VariableType& type : kVariableTypes) {
    known += (known.empty() ? "" : ", ") + std::string(type.name);
  }
  throw std::invalid_argument("type must be one of " + known);
}

bool isIdentifierStart(char c) {
  return std::isalpha(static_cast<unsigned char>(c)) != 0;
}
bool isIdentifierPart(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
}

/// A SPEL+ identifier, optionally with one non-negative integer index: "g_count", "g_pos(3)".
void checkVariableName(const std::string& name) {
  const std::size_t open = name.find('(');
  const std::string_view identifier = std::string_view(name).substr(0, open);
  bool valid = !identifier.empty() && identifier.size() <= kMaxIdentifier &&
               isIdentifierStart(identifier.front()) &&
               std::all_of(identifier.begin(), identifier.end(), isIdentifierPart);
  if (valid && open != std::string::npos) {
    const std::string_view index = std::string_view(name).substr(open + 1);
    valid = index.size() >= 2 && index.back() == ')' &&
            std::all_of(index.begin(), index.end() - 1,
                        [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }) &&
            index.size() <= 11;
  }
  if (!valid) {
    throw std::invalid_argument(
        "variable name must be a SPEL+ identifier of at most 32 characters, optionally with one "
        "index in parentheses, such as g_pos(3)");
  }
}

std::string outOfRange(const VariableType& type) {
  return "value is out of the range of a " + std::string(type.name) + " variable";
}

/// The text a value is sent as, checked against its type.
std::string variableText(const VariableType& type, const VariableValue& value) {
  const std::string typeName(type.name);
  switch (type.kind) {
    case Kind::kBoolean:
      if (const bool* flag = std::get_if<bool>(&value)) return *flag ? "True" : "False";
      throw std::invalid_argument("value of a Boolean variable must be a bool");
    case Kind::kSigned:
    case Kind::kUnsigned: {
      const bool isUnsigned = type.kind == Kind::kUnsigned;
      if (const auto* number = std::get_if<std::int64_t>(&value)) {
        const bool whole = type.lowest == 0 && type.highest == 0;  // Int64, UInt64
        if (isUnsigned ? *number < 0 || (!whole && static_cast<double>(*number) > type.highest)
                       : !whole && (static_cast<double>(*number) < type.lowest ||
                                    static_cast<double>(*number) > type.highest)) {
          throw std::invalid_argument(outOfRange(type));
        }
        return std::to_string(*number);
      }
      if (const auto* number = std::get_if<std::uint64_t>(&value)) {
        if (typeName != "UInt64") throw std::invalid_argument(outOfRange(type));
        return std::to_string(*number);
      }
      throw std::invalid_argument("value of a " + typeName + " variable must be an int");
    }
    case Kind::kReal: {
      double number = 0;
      if (const auto* real = std::get_if<double>(&value)) {
        number = *real;
      } else if (const auto* whole = std::get_if<std::int64_t>(&value)) {
        number = static_cast<double>(*whole);
      } else if (const auto* wholeUnsigned = std::get_if<std::uint64_t>(&value)) {
        number = static_cast<double>(*wholeUnsigned);
      } else {
        throw std::invalid_argument("value of a " + typeName + " variable must be a number");
      }
      if (!std::isfinite(number) || std::fabs(number) > type.highest) {
        throw std::invalid_argument("value of a " + typeName +
                                    " variable must be finite and within its range");
      }
      char buffer[32];
      const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, number);
      return std::string(buffer, end);  // the shortest text that reads back as `number`
    }
    case Kind::kString: {
      const auto* text = std::get_if<std::string>(&value);
      if (text == nullptr) throw std::invalid_argument("value of a String variable must be a str");
      if (text->size() > kMaxStringValue) {
        throw std::invalid_argument("value of a String variable must be at most 255 characters");
      }
      if (text->find_first_of(std::string_view("\",\r\n\0", 5)) != std::string::npos) {
        throw std::invalid_argument(
            "value of a String variable must not contain quotes, commas, line endings or NUL "
            "bytes");
      }
      return *text;
    }
  }
  throw std::logic_error("unknown variable kind");
}

std::string trimmed(const std::string& text) {
  const std::size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return {};
  return text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
}

VariableValue variableValue(const VariableType& type, const std::string& line,
                            const std::string& reply) {
  const std::string raw = replyValue(line, reply);
  const std::string text = trimmed(raw);
  switch (type.kind) {
    case Kind::kBoolean:
      // The controller's Boolean forms: True/False, and -1 (True), 0, 1.
      if (sameIgnoringCase(text, "true") || text == "-1" || text == "1") return true;
      if (sameIgnoringCase(text, "false") || text == "0") return false;
      break;
    case Kind::kSigned:
    case Kind::kUnsigned: {
      const bool whole = type.lowest == 0 && type.highest == 0;
      if (type.kind == Kind::kUnsigned && whole) {
        std::uint64_t number = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
        if (!text.empty() && error == std::errc() && end == text.data() + text.size()) {
          return number;
        }
        break;
      }
      std::int64_t number = 0;
      const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
      if (text.empty() || error != std::errc() || end != text.data() + text.size()) break;
      if (!whole && (static_cast<double>(number) < type.lowest ||
                     static_cast<double>(number) > type.highest)) {
        break;
      }
      return number;
    }
    case Kind::kReal: {
      double number = 0;
      const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
      if (!text.empty() && error == std::errc() && end == text.data() + text.size()) return number;
      break;
    }
    case Kind::kString:
      // A value in double quotes is shown without them.
      if (raw.size() >= 2 && raw.front() == '"' && raw.back() == '"') {
        return raw.substr(1, raw.size() - 2);
      }
      return raw;
  }
  throwUnparsable(line, reply);
}

}  // namespace

bool getInputBit(SessionCore& session, std::int64_t bit) {
  return getBit(session, "GetIO", bit);
}
std::int64_t getInputByte(SessionCore& session, std::int64_t port) {
  return getPort(session, "GetIOByte", port, 2);
}
std::int64_t getInputWord(SessionCore& session, std::int64_t port) {
  return getPort(session, "GetIOWord", port, 4);
}
void setOutputBit(SessionCore& session, std::int64_t bit, bool on) {
  setBit(session, "SetIO", bit, on);
}
void setOutputByte(SessionCore& session, std::int64_t port, std::int64_t value) {
  setPort(session, "SetIOByte", port, value, 255, 2);
}
void setOutputWord(SessionCore& session, std::int64_t port, std::int64_t value) {
  setPort(session, "SetIOWord", port, value, 65535, 4);
}
bool getMemoryBit(SessionCore& session, std::int64_t bit) {
  return getBit(session, "GetMemIO", bit);
}
void setMemoryBit(SessionCore& session, std::int64_t bit, bool on) {
  setBit(session, "SetMemIO", bit, on);
}

bool getOutputBit(SessionCore& session, std::int64_t bit) {
  checkIndex(bit, kMaxBit, "bit");
  return printedInteger(session, "Print Oport(" + std::to_string(bit) + ")") != 0;
}
std::int64_t getOutputByte(SessionCore& session, std::int64_t port) {
  checkIndex(port, kMaxPort, "port");
  return printedInteger(session, "Print Out(" + std::to_string(port) + ")");
}
std::int64_t getOutputWord(SessionCore& session, std::int64_t port) {
  checkIndex(port, kMaxPort, "port");
  return printedInteger(session, "Print OutW(" + std::to_string(port) + ")");
}

bool waitForInput(SessionCore& session, std::int64_t bit, bool on, double timeoutS) {
  checkIndex(bit, kMaxBit, "bit");
  if (!(std::isfinite(timeoutS) && timeoutS >= 0.0 && timeoutS <= kMaxWaitS)) {
    throw std::invalid_argument("timeout_s must be from 0 to 86400 seconds");
  }
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                        std::chrono::duration<double>(timeoutS));
  for (;;) {
    // One hold per poll: other threads' requests go between the polls.
    if (getInputBit(session, bit) == on) return true;
    const Clock::duration left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return false;
    sleepInterruptibly(
        std::min<Clock::duration>(left, std::chrono::milliseconds(kInputPollIntervalMs)));
  }
}

VariableValue getVariable(SessionCore& session, const std::string& name, const std::string& type) {
  checkVariableName(name);
  const VariableType& variable = variableType(type);
  const std::string line = request("GetVariable", name + "," + std::string(variable.name));
  return variableValue(variable, line, ask(session, line));
}

void setVariable(SessionCore& session, const std::string& name, const VariableValue& value,
                 const std::string& type) {
  checkVariableName(name);
  const VariableType& variable = variableType(type);
  const std::string line = request("SetVariable", name + "," + variableText(variable, value));
  ask(session, line);
}

}  // namespace epson::ops
