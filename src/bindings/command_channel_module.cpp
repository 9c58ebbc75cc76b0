// Python module _command_channel: CommandChannel, EpsonPowerMode, PtpMotionLimits.
// Thin by design: argument conversion, GIL release and docstrings; behaviour lives in src/epson.
#include <pybind11/native_enum.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <optional>

#include "binding_support.hpp"
#include "command_channel_cell_io.hpp"
#include "epson/command_channel.hpp"
#include "readable_errors.hpp"
#include "shared_log.hpp"

namespace py = pybind11;
using epson::CommandChannel;
using epson::bindings::Interruptible;
using epson::bindings::ReleaseGil;

namespace {

constexpr const char* kModuleDoc =
    "Provide Epson Remote Ethernet command access.\n"
    "\n"
    "Use ``CommandChannel`` for controller commands and TCP management.\n"
    "Continuous telemetry is handled separately by ``EthernetReceiveInterface``.\n";

constexpr const char* kPowerModeDoc =
    "Epson controller servo power mode.\n"
    "\n"
    "The power mode is independent of whether the motors are on. ``LOW`` limits speed and\n"
    "servo stiffness; ``HIGH`` permits full configured performance subject to the controller's\n"
    "safety state and motion limits.\n";

constexpr const char* kPtpMotionLimitsDoc =
    "Maximum Epson SPEL+ point-to-point motion settings.\n"
    "\n"
    "All values are percentages. ``speed_percent`` is always 100 because SPEL+ defines PTP\n"
    "speed on a fixed 1--100 scale; acceleration and deceleration are reported by the connected\n"
    "robot through ``AccelMax``.\n";

constexpr const char* kCommandChannelDoc =
    "Control an Epson robot through Remote Ethernet.\n"
    "\n"
    "The interface owns one command socket, serialises commands from all threads, and exposes\n"
    "both native Epson Tool operations and robot-facing TCP operations. Native Tool poses use\n"
    "millimeters and ``[U, V, W]`` angles in degrees; TCP poses use meters and ``[rx, ry, rz]``\n"
    "Euler-XYZ angles in degrees.\n"
    "\n"
    "Every ``RuntimeError`` a call raises is an ``epson_remote.EpsonError``: a\n"
    "``ControllerError`` for a failure reply (with its ``code``), ``EpsonTimeout`` for a\n"
    "reply, write or connect attempt that timed out, ``ConnectionLost`` for a connection\n"
    "that failed or was dropped, ``NotConnected`` for a call on a closed session and\n"
    "``ProtocolError`` for a reply that cannot be read. Use it as a context manager\n"
    "(``with CommandChannel() as channel:``) to disconnect on the way out.\n"
    "\n"
    "Attributes:\n"
    "    default_port (int): The default Remote Ethernet command port, 5000.\n"
    "    default_password (str): The protocol's default password, an empty string.\n"
    "\n"
    "Example:\n"
    "    >>> with CommandChannel() as channel:\n"
    "    ...     channel.connect(\"192.168.0.1\", password=\"\")\n"
    "    ...     channel.is_logged_in()\n"
    "    True\n";

/// A list of `count` floats from `values`, filled in place.
py::list floatList(const double* values, std::size_t count) {
  py::list list(count);
  for (std::size_t i = 0; i < count; ++i) {
    PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i), py::float_(values[i]).release().ptr());
  }
  return list;
}

/// A key interned once and kept for the life of the process (the module refuses
/// subinterpreters), so a state poll does not build its two key strings every time.
PyObject* internedKey(const char* text) {
  PyObject* key = PyUnicode_InternFromString(text);
  if (key == nullptr) throw py::error_already_set();
  return key;
}

py::dict stateDict(const std::vector<double>& state) {
  static PyObject* const jointsKey = internedKey("joint_positions");
  static PyObject* const poseKey = internedKey("tcp_pose");
  const std::size_t joints = std::min<std::size_t>(state.size(), 6);
  py::dict result;
  result[py::handle(jointsKey)] = floatList(state.data(), joints);
  result[py::handle(poseKey)] = floatList(state.data() + joints, state.size() - joints);
  return result;
}

}  // namespace

PYBIND11_MODULE(_command_channel, m, py::multiple_interpreters::not_supported()) {
  m.doc() = kModuleDoc;
  epson::bindings::registerReadableErrors();
  epson::bindings::registerEpsonErrors();
  epson::bindings::connectSharedLog();
  epson::bindings::defineLogFunctions(m);
  epson::bindings::registerInterruptTranslator();

  py::native_enum<epson::EpsonPowerMode>(m, "EpsonPowerMode", "enum.IntEnum", kPowerModeDoc)
      .value("LOW", epson::EpsonPowerMode::LOW, "Low speed and servo stiffness.")
      .value("HIGH", epson::EpsonPowerMode::HIGH, "Full configured speed and servo stiffness.")
      .finalize();

  py::class_<epson::PtpMotionLimits>(m, "PtpMotionLimits", kPtpMotionLimitsDoc)
      .def_readonly("speed_percent", &epson::PtpMotionLimits::speed_percent,
                    "Maximum PTP speed percentage (always 100).")
      .def_readonly("acceleration_percent", &epson::PtpMotionLimits::acceleration_percent,
                    "Maximum acceleration percentage, ``AccelMax(1)``.")
      .def_readonly("deceleration_percent", &epson::PtpMotionLimits::deceleration_percent,
                    "Maximum deceleration percentage, ``AccelMax(2)``.")
      .def("__repr__", [](const epson::PtpMotionLimits& limits) {
        return "PtpMotionLimits(speed_percent=" + std::to_string(limits.speed_percent) +
               ", acceleration_percent=" + std::to_string(limits.acceleration_percent) +
               ", deceleration_percent=" + std::to_string(limits.deceleration_percent) + ")";
      });

  py::class_<CommandChannel, std::shared_ptr<CommandChannel>> channelClass(m, "CommandChannel",
                                                                           kCommandChannelDoc);
  channelClass
      .def(py::init([] {
             return epson::bindings::releasedWithoutGil(std::make_shared<CommandChannel>());
           }),
           "Create a disconnected control interface.")
      .def_property_readonly_static(
          "default_port", [](const py::object&) { return epson::kDefaultCommandPort; },
          "Return the default Remote Ethernet command port.\n\n"
          "Returns:\n    The port, 5000.\n")
      .def_property_readonly_static(
          "default_password",
          [](const py::object&) { return std::string(epson::kDefaultPassword); },
          "Return the protocol's default password.\n\n"
          "Returns:\n    An empty string.\n")
      .def(
          "connect",
          [](CommandChannel& channel, const std::string& host, epson::bindings::Port port,
             const std::string& password, double timeout_s, int attempts) {
            const epson::bindings::InterruptibleCall call;
            channel.connect(host, port.number, password,
                            epson::ConnectOptions{timeout_s, attempts});
          },
          py::arg("host"), py::arg("port") = epson::bindings::Port{epson::kDefaultCommandPort},
          py::arg("password") = std::string(epson::kDefaultPassword), py::kw_only(),
          py::arg("timeout_s") = epson::ConnectOptions{}.timeout_s,
          py::arg("attempts") = epson::ConnectOptions{}.attempts,
          "Connect and log in without turning the motors on.\n\n"
          "Call ``motor_on()`` explicitly after confirming that the physical cell is safe.\n"
          "A session that is connected is first disconnected the orderly way; a motion of\n"
          "another thread is aborted for it (see ``disconnect()``).\n\n"
          "Args:\n"
          "    host: Controller hostname or IP address.\n"
          "    port: Remote Ethernet command port.\n"
          "    password: Remote Ethernet login password.\n"
          "    timeout_s: Bound of each TCP connect attempt, in seconds (the login reply\n"
          "        keeps its 5000 ms).\n"
          "    attempts: Connect-and-login attempts, 2 s apart. A controller that answered\n"
          "        the login is not asked again.\n\n"
          "Raises:\n"
          "    ValueError: If the password contains a line ending, ``timeout_s`` is not above\n"
          "        0 and at most 86400, or ``attempts`` is not between 1 and 1000.\n"
          "    RuntimeError: If name resolution, connection, or login fails.\n"
          "    KeyboardInterrupt: On Ctrl-C in the main thread: the attempt and its retries\n"
          "        end and the session stays disconnected.\n")
      .def(
          "__enter__", [](std::shared_ptr<CommandChannel> self) { return self; },
          "Return the channel; leaving the ``with`` block disconnects it.")
      .def(
          "__exit__",
          [](CommandChannel& channel, const py::object&, const py::object&, const py::object&) {
            const py::gil_scoped_release release;
            channel.disconnect();
            return false;  // an exception of the block goes on
          },
          py::arg("exc_type"), py::arg("exc_value"), py::arg("traceback"),
          "Disconnect (Tool restored, motors this session turned on off), exception or not.")
      .def("disconnect", &CommandChannel::disconnect, Interruptible(),
           "Restore controller state, log out, and close the socket.\n\n"
           "Restores the Tool state saved by ``set_tcp_offset()`` and turns off motors that\n"
           "this session turned on. Safe to call when already disconnected. A ``go`` or\n"
           "``move`` of another thread that holds the connection, running or paused, is\n"
           "aborted first (``$Abort``) and awaited at most 10 s; a motion that has still not\n"
           "ended then has the connection shut down under it.\n\n"
           "Raises:\n"
           "    RuntimeError: If the socket cannot be closed.\n"
           "    KeyboardInterrupt: On Ctrl-C in the main thread while waiting for another\n"
           "        thread's motion to end; once the steps have begun they run to their end.\n")
      .def("is_connected", &CommandChannel::isConnected, ReleaseGil(),
           "Return whether the command socket is connected.\n\n"
           "Returns:\n    ``True`` while the socket is connected.\n")
      .def("is_logged_in", &CommandChannel::isLoggedIn, ReleaseGil(),
           "Return whether the Remote Ethernet session is logged in.\n\n"
           "Returns:\n    ``True`` after a successful login and before logout.\n")
      .def(
          "motor_on_error",
          [](CommandChannel& channel) {
            std::string text;
            {
              py::gil_scoped_release release;
              text = channel.motorOnErrorText();
            }
            return epson::bindings::readableText(text);  // the controller's bytes, as received
          },
          "Return the error from the most recent explicit motor-on attempt.\n\n"
          "Returns:\n"
          "    An empty string after success or when no attempt has been made; otherwise\n"
          "    the most recent controller error.\n")
      .def("is_emergency_stopped", &CommandChannel::isEmergencyStopped, Interruptible(),
           "Return whether Emergency Stop is active.\n\n"
           "Returns:\n    ``True`` while the controller reports an Emergency Stop.\n\n"
           "Raises:\n"
           "    RuntimeError: If the session is unavailable or the response is invalid.\n")
      .def("get_controller_status", &CommandChannel::getControllerStatus, Interruptible(),
           "Read raw Epson controller status fields.\n\n"
           "Returns:\n"
           "    A dict with the integer fields ``control_device``, ``ctrl_info``,\n"
           "    ``emergency_stopped``, ``robot_info``, ``safeguard_open``, ``stat``,\n"
           "    ``system_error`` and ``teach_mode``, passed through as the controller reports\n"
           "    them.\n\n"
           "Raises:\n"
           "    RuntimeError: If the session is unavailable or the response is invalid.\n")
      .def("reset_controller", &CommandChannel::resetController, Interruptible(),
           "Clear the current controller error with SPEL+ ``Reset``.\n\n"
           "Does not release physical safety devices or turn motors on.\n\n"
           "Raises:\n"
           "    RuntimeError: If the session is unavailable or the command is rejected.\n")
      .def("motor_on", &CommandChannel::motorOn, Interruptible(),
           "Turn the Epson robot motors on.\n\n"
           "Raises:\n"
           "    RuntimeError: If the session is unavailable or the command is rejected.\n")
      .def("motor_off", &CommandChannel::motorOff, Interruptible(),
           "Turn the Epson robot motors off.\n\n"
           "Raises:\n"
           "    RuntimeError: If the session is unavailable or the command is rejected.\n")
      .def("pause", &CommandChannel::pause, Interruptible(),
           "Pause active Epson tasks and robot motion.\n\n"
           "Uses the Remote Ethernet ``$Pause`` command, which is delivered even while a\n"
           "motion holds the connection. The controller accepts it only in Auto mode while\n"
           "execution is running.\n\n"
           "Raises:\n"
           "    RuntimeError: If the session is unavailable or the command is rejected.\n")
      .def("continue_motion", &CommandChannel::continueMotion, Interruptible(),
           "Continue paused Epson tasks and robot motion.\n\n"
           "Uses the Remote Ethernet ``$Continue`` command. The controller accepts it only in\n"
           "Auto mode while execution is paused.\n\n"
           "Raises:\n"
           "    RuntimeError: If the session is unavailable or the command is rejected.\n")
      .def("abort_motion", &CommandChannel::abortMotion, Interruptible(),
           "Abort a running or paused ``go``/``move`` (and the controller's tasks).\n\n"
           "Uses the Remote Ethernet ``$Abort`` command (reply ``#Abort,0``), delivered at once\n"
           "even while a motion holds the connection, like ``pause()``; a pause or continue\n"
           "still waiting for its reply is let finish first. The aborted ``go``/``move``\n"
           "raises ``RuntimeError`` with the controller's failure reply, and the session stays\n"
           "usable. Without a motion it is an ordinary 5000 ms request and the controller's\n"
           "answer decides.\n\n"
           "Raises:\n"
           "    RuntimeError: If the session is unavailable or the command is rejected.\n")
      .def("get_power_mode", &CommandChannel::getPowerMode, Interruptible(),
           "Read the current Epson servo power mode.\n\n"
           "Returns:\n    ``EpsonPowerMode.LOW`` or ``EpsonPowerMode.HIGH`` as reported.\n\n"
           "Raises:\n"
           "    RuntimeError: If the session is unavailable, the query is rejected, or the\n"
           "        controller returns an invalid value.\n")
      .def("get_ptp_motion_limits", &CommandChannel::getPtpMotionLimits, Interruptible(),
           "Read maximum SPEL+ point-to-point motion settings.\n\n"
           "Returns:\n"
           "    A ``PtpMotionLimits`` in percentage units. Speed is always 100; acceleration\n"
           "    and deceleration come from ``AccelMax(1)`` and ``AccelMax(2)``.\n\n"
           "Raises:\n"
           "    RuntimeError: If the session is unavailable or the response is invalid.\n")
      .def("add_safety_cuboid", &CommandChannel::addSafetyCuboid, py::arg("min_corner_mm"),
           py::arg("max_corner_mm"), Interruptible(),
           "Set the Epson controller's allowed Cartesian workspace.\n\n"
           "Corners are ``[X, Y, Z]`` in robot-base millimeters. Replaces the existing\n"
           "``XYLim`` definition and enables ``XYLIM_STRICT`` for trajectory and pulse-motion\n"
           "checks. This is a software motion limit, not a certified safety function;\n"
           "``XYLimMode`` may reset to the controller preference when the controller restarts.\n\n"
           "Args:\n"
           "    min_corner_mm: Minimum ``[X, Y, Z]`` corner in millimeters.\n"
           "    max_corner_mm: Maximum ``[X, Y, Z]`` corner in millimeters.\n\n"
           "Raises:\n"
           "    ValueError: If either corner is invalid.\n"
           "    RuntimeError: If the controller rejects or fails to verify the settings.\n")
      .def(
          "get_safety_cuboid",
          [](CommandChannel& channel) -> py::object {
            std::optional<epson::SafetyCuboid> cuboid;
            {
              const epson::bindings::InterruptibleCall call;
              cuboid = channel.getSafetyCuboid();
            }
            if (!cuboid) return py::none();
            py::dict result;
            result["min_corner_mm"] = cuboid->min_corner_mm;
            result["max_corner_mm"] = cuboid->max_corner_mm;
            result["strict"] = cuboid->strict;
            return std::move(result);
          },
          "Read the controller's XYLim box back (reads only).\n\n"
          "Returns:\n"
          "    ``None`` when no box is set (all bounds 0); otherwise a dict with\n"
          "    ``min_corner_mm`` and ``max_corner_mm`` (``[X, Y, Z]``) and ``strict``\n"
          "    (``XYLimMode`` is 1: motions leaving the box are refused).\n\n"
          "Raises:\n"
          "    RuntimeError: If the session is unavailable or the reply does not parse.\n")
      .def("set_power_mode", &CommandChannel::setPowerMode, py::arg("mode"), Interruptible(),
           "Set and verify the Epson servo power mode.\n\n"
           "Does not turn the motors on and cannot override an E-stop, safeguard,\n"
           "operating-mode restriction, or controller motion limit.\n\n"
           "Args:\n"
           "    mode: ``EpsonPowerMode.LOW`` or ``EpsonPowerMode.HIGH``.\n\n"
           "Raises:\n"
           "    RuntimeError: If the session is unavailable, the command is rejected, or\n"
           "        read-back does not match.\n")
      .def("tl_set", &CommandChannel::tlSet, py::arg("tool_num").noconvert(),
           py::arg("tool_def_point"), Interruptible(),
           "Define a native Epson Tool with SPEL+ ``TLSet``.\n\n"
           "Args:\n"
           "    tool_num: Tool slot from 1 through 15.\n"
           "    tool_def_point: SPEL+ point expression such as ``XY(0, 0, 100, 0, 0, 0)`` or\n"
           "        ``P10``.\n\n"
           "Raises:\n"
           "    IndexError: If the slot is outside the supported range.\n"
           "    ValueError: If the point expression is invalid.\n"
           "    RuntimeError: If the session is unavailable or the command is rejected.\n")
      .def("tl_clear", &CommandChannel::tlClear, py::arg("tool_num").noconvert(), Interruptible(),
           "Clear a native Epson Tool definition.\n\n"
           "Args:\n"
           "    tool_num: Tool slot from 1 through 15.\n\n"
           "Raises:\n"
           "    IndexError: If the slot is outside the supported range.\n"
           "    RuntimeError: If the session is unavailable or the command is rejected.\n")
      .def("set_tool", &CommandChannel::setTool, py::arg("tool_num").noconvert(), Interruptible(),
           "Select the Tool used by subsequent Epson motion.\n\n"
           "Args:\n"
           "    tool_num: Tool number from 0 through 15. Tool 0 is the flange.\n\n"
           "Raises:\n"
           "    IndexError: If the Tool number is outside the supported range.\n"
           "    RuntimeError: If the session is unavailable or the command is rejected.\n")
      .def("get_tool", &CommandChannel::getTool, Interruptible(),
           "Return the selected Epson Tool number.\n\n"
           "Returns:\n    The selected Tool, 0 through 15.\n\n"
           "Raises:\n"
           "    RuntimeError: If the session is unavailable or the response is invalid.\n")
      .def("is_tool_defined", &CommandChannel::isToolDefined, py::arg("tool_num").noconvert(),
           Interruptible(),
           "Return whether an Epson Tool slot has a definition.\n\n"
           "Args:\n"
           "    tool_num: Tool slot from 1 through 15.\n\n"
           "Returns:\n    ``True`` when the slot has a ``TLSet`` definition.\n\n"
           "Raises:\n"
           "    IndexError: If the slot is outside the supported range.\n"
           "    RuntimeError: If the session is unavailable or the response is invalid.\n")
      .def("get_tool_definition", &CommandChannel::getToolDefinition,
           py::arg("tool_num").noconvert(), Interruptible(),
           "Read a native Epson Tool definition.\n\n"
           "Args:\n"
           "    tool_num: Tool slot from 1 through 15.\n\n"
           "Returns:\n    ``[X, Y, Z, U, V, W]`` in millimeters and degrees.\n\n"
           "Raises:\n"
           "    IndexError: If the slot is outside the supported range.\n"
           "    RuntimeError: If the Tool is undefined or the response is invalid.\n")
      .def("get_tcp_offset", &CommandChannel::getTcpOffset, Interruptible(),
           "Read the selected controller TCP in Corvane units.\n\n"
           "Returns:\n"
           "    ``[x, y, z, rx, ry, rz]`` in meters and Euler-XYZ degrees; zeros when Tool 0\n"
           "    (the flange) is selected.\n\n"
           "Raises:\n"
           "    RuntimeError: If the Tool definition cannot be read.\n")
      .def("set_tcp_offset", &CommandChannel::setTcpOffset, py::arg("pose"), Interruptible(),
           "Set the active controller TCP in Corvane units.\n\n"
           "The first call saves the selected Tool and the reserved custom Tool definition so\n"
           "that ``restore_tcp_offset()`` or ``disconnect()`` can restore them.\n\n"
           "Args:\n"
           "    pose: ``[x, y, z, rx, ry, rz]`` in meters and Euler-XYZ degrees.\n\n"
           "Raises:\n"
           "    ValueError: If the pose does not contain six finite values.\n"
           "    RuntimeError: If the controller update or verification fails.\n\n"
           "Example:\n"
           "    >>> channel.set_tcp_offset([0.0, 0.0, 0.1, 0.0, 0.0, 0.0])\n")
      .def("restore_tcp_offset", &CommandChannel::restoreTcpOffset, Interruptible(),
           "Restore the controller Tool state saved by ``set_tcp_offset()``.\n\n"
           "Safe to call when no TCP override is active.\n\n"
           "Raises:\n"
           "    RuntimeError: If restoration is required and a controller command fails.\n")
      .def("inverse_kinematics", &CommandChannel::inverseKinematics, py::arg("cartesian_pose"),
           py::arg("least_joint_motion") = true, py::arg("reference_joint_positions") = py::none(),
           Interruptible(),
           "Solve inverse kinematics on the connected Epson controller.\n\n"
           "Evaluates SPEL+ ``PAgl`` for joints 1 through 6; the robot does not move.\n\n"
           "Args:\n"
           "    cartesian_pose: Native ``[X, Y, Z, U, V, W]`` in millimeters and degrees.\n"
           "    least_joint_motion: Use ``LJM`` to select the posture needing least joint\n"
           "        motion from the reference (``Here`` by default).\n"
           "    reference_joint_positions: Optional J1 to J6 reference in degrees; ``Here``\n"
           "        is used when it is omitted.\n\n"
           "Returns:\n    J1 to J6 in degrees.\n\n"
           "Raises:\n"
           "    ValueError: If the pose does not hold exactly six finite values.\n"
           "    RuntimeError: If disconnected, unreachable, rejected or the response is\n"
           "        invalid.\n")
      .def("go", &CommandChannel::go, py::arg("destination"), py::arg("cp") = false,
           py::arg("ljm") = false, py::arg("orientation_flag").noconvert() = py::none(),
           py::arg("search_expression") = py::none(), py::arg("parallel_processing") = py::none(),
           py::arg("sync") = false, py::arg("speed_percent").noconvert() = py::none(),
           py::arg("acceleration_percent").noconvert() = py::none(),
           py::arg("deceleration_percent").noconvert() = py::none(), Interruptible(),
           "Execute a point-to-point SPEL+ ``Go`` motion.\n\n"
           "Blocks until the motion has completed; other Python threads keep running and may\n"
           "call ``pause()`` and ``continue_motion()`` meanwhile.\n\n"
           "Args:\n"
           "    destination: SPEL+ point or point expression.\n"
           "    cp: Append the continuous-path modifier ``CP``.\n"
           "    ljm: Append the least-joint-motion modifier ``LJM``.\n"
           "    orientation_flag: ``LJM`` orientation flag; only allowed with ``ljm``.\n"
           "    search_expression: Search condition such as ``Till Sw(1) = On``, or ``None``.\n"
           "    parallel_processing: Statement run during the motion, or ``None``.\n"
           "    sync: Append ``SYNC``.\n"
           "    speed_percent: 1 through 100, the percentage of maximum point-to-point speed.\n"
           "    acceleration_percent: Acceleration percentage, at least 1; the robot-specific\n"
           "        maximum is available from ``get_ptp_motion_limits()``.\n"
           "    deceleration_percent: Deceleration percentage, at least 1; defaults to\n"
           "        ``acceleration_percent`` when omitted; its maximum is controller-dependent.\n\n"
           "Raises:\n"
           "    ValueError: If the arguments cannot form a valid command.\n"
           "    RuntimeError: If the session is unavailable or the motion fails, also when\n"
           "        ``abort_motion()`` ended it (the controller's failure reply).\n"
           "    KeyboardInterrupt: On Ctrl-C in the main thread: the motion is aborted and\n"
           "        its end awaited (at most 5 s) first.\n")
      .def("move", &CommandChannel::move, py::arg("destination"), py::arg("rot") = false,
           py::arg("ecp") = false, py::arg("cp") = false, py::arg("search_expression") = py::none(),
           py::arg("parallel_processing") = py::none(), py::arg("sync") = false,
           py::arg("speed_mm_s") = py::none(), py::arg("acceleration_mm_s2") = py::none(),
           Interruptible(),
           "Execute a straight-line Cartesian SPEL+ ``Move`` motion.\n\n"
           "Optional motion parameters must be finite and positive. The controller enforces\n"
           "model-specific limits, and omitted parameters retain the controller's settings.\n\n"
           "Args:\n"
           "    destination: SPEL+ point or point expression.\n"
           "    rot: Append ``ROT`` (interpolate tool orientation).\n"
           "    ecp: Append ``ECP`` (move relative to the external control point).\n"
           "    cp: Append the continuous-path modifier ``CP``.\n"
           "    search_expression: Search condition such as ``Till Sw(1) = On``, or ``None``.\n"
           "    parallel_processing: Statement run during the motion, or ``None``.\n"
           "    sync: Append ``SYNC``.\n"
           "    speed_mm_s: ``SpeedS`` in millimeters per second.\n"
           "    acceleration_mm_s2: ``AccelS`` in millimeters per second squared, for both\n"
           "        acceleration and deceleration.\n\n"
           "Raises:\n"
           "    ValueError: If the arguments cannot form a valid command.\n"
           "    RuntimeError: If the session is unavailable or the motion fails, also when\n"
           "        ``abort_motion()`` ended it (the controller's failure reply).\n"
           "    KeyboardInterrupt: On Ctrl-C in the main thread: the motion is aborted and\n"
           "        its end awaited (at most 5 s) first.\n")
      .def(
          "get_state",
          [](CommandChannel& channel) {
            std::vector<double> state;
            {
              const epson::bindings::InterruptibleCall call;
              state = channel.getState();
            }
            return stateDict(state);
          },
          "Read joint positions and TCP pose in one controller request.\n\n"
          "Fails at once while a ``go`` or ``move`` holds the connection, and waits at most\n"
          "250 ms for another operation to finish.\n\n"
          "Returns:\n"
          "    A dict with ``joint_positions`` (J1 to J6 in degrees) and ``tcp_pose`` (native\n"
          "    ``[X, Y, Z, U, V, W]`` in millimeters and degrees).\n\n"
          "Raises:\n"
          "    RuntimeError: If the session is unavailable or the response is invalid.\n");
  epson::bindings::defineCellIo(channelClass);
}
