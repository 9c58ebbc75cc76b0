// The implementation object behind CommandChannel: the Remote Ethernet session core and every
// controller operation. Private to the core; the socket and Asio stay behind this header.
//
// Locks, outermost first: connectionMutex -> pendingMutex -> writeMutex. Members marked
// "connectionMutex" are read and written only by the thread that holds it; that thread is also
// the only one that reads the socket.
#pragma once

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "epson/command_channel.hpp"

namespace epson {

constexpr std::chrono::seconds kConnectTimeout{20};
constexpr int kLoginAttempts = 3;
constexpr std::chrono::seconds kLoginRetryDelay{2};
constexpr std::chrono::seconds kPendingReplyTimeout{5};
constexpr std::int32_t kReservedTcpTool = 15;

class CommandChannel::Impl {
 public:
  Impl();
  ~Impl();

  // ---- Session (command_session.cpp) ----
  void connect(const std::string& host, std::uint16_t port, const std::string& password);
  void disconnect();
  bool isConnected() const { return connected.load(); }
  bool isLoggedIn() const { return loggedIn.load(); }
  std::string motorOnErrorText();
  void motionCommand(const std::string& line);

  /// Writes `line`, waits for its reply (each physical line within `timeoutMs`) and checks it.
  /// Caller holds connectionMutex.
  void command(const std::string& line, int timeoutMs);
  /// Runs a SPEL+ statement through `$Execute` (5000 ms) and returns the printed payload.
  /// Caller holds connectionMutex.
  std::string execute(const std::string& statement);
  /// Checks `reply` to `request`, updating loggedIn on "#Login"/"#Logout"; throws on failure.
  void parseResponse(const std::string& reply, const std::string& request);

  // ---- Status, power and motors (controller_operations.cpp) ----
  ControllerStatus getControllerStatus();
  bool isEmergencyStopped();
  void resetController();
  void motorOn();
  void motorOff();
  void motorOffLocked();
  void pause();
  void continueMotion();
  EpsonPowerMode getPowerMode();
  EpsonPowerMode getPowerModeLocked();
  void setPowerMode(EpsonPowerMode mode);
  PtpMotionLimits getPtpMotionLimits();

  // ---- Workspace limit (workspace_limit.cpp) ----
  void addSafetyCuboid(const std::vector<double>& minCornerMm,
                       const std::vector<double>& maxCornerMm);

  // ---- Native Tool slots (tool_slots.cpp) ----
  void tlSet(std::int32_t toolNum, const std::string& toolDefPoint);
  void tlSetLocked(std::int32_t toolNum, const std::string& toolDefPoint);
  void tlClear(std::int32_t toolNum);
  void tlClearLocked(std::int32_t toolNum);
  void setTool(std::int32_t toolNum);
  void setToolLocked(std::int32_t toolNum);
  std::int32_t getTool();
  std::int32_t getToolLocked();
  bool isToolDefined(std::int32_t toolNum);
  bool isToolDefinedLocked(std::int32_t toolNum);
  std::vector<double> getToolDefinition(std::int32_t toolNum);
  std::vector<double> getToolDefinitionLocked(std::int32_t toolNum);

  // ---- TCP offset override (tcp_offset.cpp) ----
  std::vector<double> getTcpOffset();
  void setTcpOffset(const std::vector<double>& pose);
  void restoreTcpOffset();
  void restoreTcpOffsetLocked();
  /// Forgets the saved Tool state without talking to the controller.
  void discardTcpOffsetState();

  // ---- Motion (motion_commands.cpp) ----
  void go(const std::string& destination, bool cp, bool ljm,
          std::optional<std::int32_t> orientationFlag,
          const std::optional<std::string>& searchExpression,
          const std::optional<std::string>& parallelProcessing, bool sync,
          std::optional<std::int32_t> speedPercent, std::optional<std::int32_t> accelerationPercent,
          std::optional<std::int32_t> decelerationPercent);
  void move(const std::string& destination, bool rot, bool ecp, bool cp,
            const std::optional<std::string>& searchExpression,
            const std::optional<std::string>& parallelProcessing, bool sync,
            std::optional<double> speedMmS, std::optional<double> accelerationMmS2);

  // ---- State and kinematics (state_kinematics.cpp) ----
  std::vector<double> getState();
  std::vector<double> inverseKinematics(const std::vector<double>& cartesianPose,
                                        bool leastJointMotion,
                                        const std::optional<std::vector<double>>& reference);

 private:
  void login(const std::string& password);
  void openSocket(const boost::asio::ip::tcp::resolver::results_type& endpoints);
  /// Closes the socket (errors ignored) and clears the flags, the saved TCP state and the
  /// record of expired motion-control requests. Nothing is sent or logged.
  void dropConnection();
  void closeSocketQuietly();
  void forgetExpiredRequests();
  std::string readReplyLine(int timeoutMs);
  /// One bounded wait until the receive buffer holds a line end.
  void awaitDelimiter(int timeoutMs);
  /// Sets the socket's receive time-out unless it is set to `timeout` already; the system error
  /// when it cannot be set.
  boost::system::error_code setReceiveTimeout(int fd, std::chrono::steady_clock::duration timeout);
  [[noreturn]] void throwReplyTimeout(int timeoutMs);
  [[noreturn]] void throwReceiveFailure(const boost::system::error_code& error);
  std::string takePhysicalLine();
  /// Writes `line` + terminator within `timeoutMs`. Returns false when the time ran out; throws
  /// the system error of a failed write.
  bool writeLine(const std::string& line, int timeoutMs);
  /// Writes a motion-control request past the motion that holds the connection and waits for the
  /// motion's thread to route the reply here.
  void sendDuringMotion(const std::string& line);
  bool routePendingReply(const std::string& line);
  bool swallowExpiredReply(const std::string& line);
  void logout();

 public:
  // Declaration order follows the session's data model.
  boost::asio::io_context io;           // connectionMutex
  boost::asio::ip::tcp::socket socket;  // connectionMutex (writes: writeMutex)
  std::string receiveBuffer;            // connectionMutex
  std::size_t receiveStart = 0;         // connectionMutex; bytes before it are consumed
  /// The socket's receive time-out as last set; zero: not set (the kernel waits forever).
  std::chrono::steady_clock::duration receiveTimeout{};  // connectionMutex
  std::string host;                                      // connectionMutex
  std::uint16_t port = 0;                                // connectionMutex
  std::string lineTerminator = "\r\n";
  std::string lastCommand;                                 // connectionMutex
  std::string lastResponse;                                // connectionMutex
  std::string motorOnError;                                // connectionMutex
  bool motorsOnBySession = false;                          // connectionMutex
  bool tcpOverrideActive = false;                          // connectionMutex
  std::optional<std::int32_t> savedTool;                   // connectionMutex
  std::optional<std::vector<double>> savedToolDefinition;  // connectionMutex
  std::atomic<bool> connected{false};
  std::atomic<bool> loggedIn{false};
  std::atomic<bool> motionInProgress{false};
  std::mutex writeMutex;
  std::mutex pendingMutex;
  std::condition_variable pendingCondition;
  std::string pendingPrefix;  // pendingMutex
  std::string pendingReply;   // pendingMutex
  /// Names of motion-control requests whose wait expired, oldest first; the next reply of each
  /// name is theirs and is swallowed wherever it is read (pendingMutex).
  std::deque<std::string> expiredRequestNames;
  std::timed_mutex connectionMutex;
};

}  // namespace epson
