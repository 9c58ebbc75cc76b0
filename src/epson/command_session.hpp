// The implementation object behind CommandChannel: the Remote Ethernet session core and every
// controller operation. Private to the core; the socket and Asio stay behind this header.
//
// Locks, outermost first: connectionMutex -> pendingMutex -> writeMutex. Members marked
// "connectionMutex" are read and written only by the thread that holds it; that thread is also
// the only one that reads the socket.
#pragma once

#include <sys/types.h>

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
  /// False also when the peer has closed or reset the connection, seen without a request.
  bool isConnected() const;
  bool isLoggedIn() const { return loggedIn.load() && isConnected(); }
  std::string motorOnErrorText();
  void motionCommand(const std::string& line);

  /// How a reply wait treats a line that answers no request of ours.
  enum class ReplyWait {
    /// The line is a fault: the connection is dropped, since the real reply may still come.
    kOrdinary,
    /// A Go or Move: the line is logged and skipped, and the motion keeps waiting (dropping
    /// the connection would leave a moving arm that nothing can pause). Time spent paused does
    /// not count against the time-out.
    kMotion,
  };

  /// Writes `line`, waits for its reply (the whole logical reply within `timeoutMs`) and checks
  /// it. Caller holds connectionMutex.
  void command(const std::string& line, int timeoutMs, ReplyWait wait = ReplyWait::kOrdinary);
  /// Marks the start and the end of a motion for the reply routing and the paused-time count.
  /// Caller holds connectionMutex.
  void beginMotion();
  void endMotion();
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
  using Clock = std::chrono::steady_clock;

  /// One request's reply deadline: the whole logical reply, continuation lines included, and
  /// for a motion extended by the time spent paused.
  struct ReplyDeadline {
    Clock::time_point start;
    int timeoutMs;
    bool motion;
    /// The first receive may use the full time-out: the socket's receive time-out then usually
    /// needs no new setting.
    bool fresh = true;
  };

  void login(const std::string& password);
  void openSocket(const boost::asio::ip::tcp::resolver::results_type& endpoints);
  /// The disconnect steps (restore, motor off, logout), then close. Caller holds connectionMutex.
  void disconnectLocked();
  /// Closes the socket (errors ignored) and clears the flags, the saved TCP state and the
  /// record of expired motion-control requests. Nothing is sent or logged.
  void dropConnection();
  void closeSocketQuietly();
  /// Ends reading and writing on the socket without closing it, so that the thread that reads
  /// it meets the failure and drops the connection itself.
  void shutDownSocket();
  void forgetExpiredRequests();
  /// True in a process forked from the one that opened the connection.
  bool inForkedChild() const;
  /// In a forked child: lets go of the parent's connection without writing to it or shutting
  /// it down. Takes no lock (a parent thread may have held one at the fork).
  void releaseForkedCopy();
  /// Handles lines that arrived after the last reply and before this request: replies of
  /// expired or pending motion-control requests go where they belong, anything else is logged
  /// and discarded, so that it is never read as the next request's reply.
  void discardStaleLines();
  Clock::time_point deadlineOf(const ReplyDeadline& deadline);
  /// The next logical reply line; false when the deadline passed first.
  bool readReplyLine(ReplyDeadline& deadline, std::string& line);
  /// One bounded wait until the receive buffer holds a line end; false on time-out.
  bool awaitDelimiter(ReplyDeadline& deadline);
  /// Waits, after the motion that carried it has ended, for a pending motion-control reply:
  /// reads the connection itself unless another holder routes the reply first.
  void readPendingReplyAfterMotion(std::unique_lock<std::mutex>& pendingLock,
                                   Clock::time_point deadline, std::uint64_t generation);
  /// Sets the socket's receive time-out unless it is set to `timeout` already; the system error
  /// when it cannot be set.
  boost::system::error_code setReceiveTimeout(int fd, std::chrono::steady_clock::duration timeout);
  [[noreturn]] void throwReplyTimeout(int timeoutMs);
  [[noreturn]] void throwReceiveFailure(const boost::system::error_code& error);
  std::string takePhysicalLine();
  /// Writes `line` + terminator within `timeoutMs`. Returns false when the time ran out; throws
  /// "write: <system error>" for a failed write (the caller decides what it does to the
  /// connection).
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
  std::string lastCommand;   // connectionMutex
  std::string lastResponse;  // connectionMutex
  /// Whether the last request got a reply line of any kind (connectionMutex).
  bool lastRequestAnswered = false;
  std::string motorOnError;                                // connectionMutex
  bool motorsOnBySession = false;                          // connectionMutex
  bool tcpOverrideActive = false;                          // connectionMutex
  std::optional<std::int32_t> savedTool;                   // connectionMutex
  std::optional<std::vector<double>> savedToolDefinition;  // connectionMutex
  std::atomic<bool> connected{false};
  std::atomic<bool> loggedIn{false};
  std::atomic<bool> motionInProgress{false};
  /// The descriptor of the open connection for the request-free liveness check; -1 when closed.
  std::atomic<int> liveDescriptor{-1};
  /// The process that opened the connection; 0 when none is open.
  std::atomic<pid_t> ownerPid{0};
  std::mutex writeMutex;
  std::mutex pendingMutex;
  std::condition_variable pendingCondition;
  std::string pendingPrefix;  // pendingMutex
  std::string pendingReply;   // pendingMutex
  /// Counts the connections opened; a motion-control request belongs to the one it was sent on
  /// (written under connectionMutex and pendingMutex; read under either).
  std::uint64_t connectionGeneration = 0;
  std::uint64_t pendingGeneration = 0;  // pendingMutex
  /// Time spent paused in the current motion (pendingMutex).
  std::optional<std::chrono::steady_clock::time_point> pausedSince;
  std::chrono::steady_clock::duration pausedTotal{};
  /// Names of motion-control requests whose wait expired, oldest first; the next reply of each
  /// name is theirs and is swallowed wherever it is read (pendingMutex).
  std::deque<std::string> expiredRequestNames;
  std::timed_mutex connectionMutex;
};

}  // namespace epson
