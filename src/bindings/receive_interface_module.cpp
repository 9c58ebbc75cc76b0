// Python module _receive_interface: EthernetReceiveInterface.
// Thin by design: argument conversion, GIL release and docstrings; behaviour lives in src/epson.
#include <pybind11/pybind11.h>

#include <chrono>
#include <memory>

#include "binding_support.hpp"
#include "epson/receive_interface.hpp"

namespace py = pybind11;
using epson::EthernetReceiveInterface;
using epson::bindings::ReleaseGil;

namespace {

constexpr const char* kModuleDoc =
    "Provide Epson controller telemetry access.\n"
    "\n"
    "Use ``EthernetReceiveInterface`` to read the joint angles, pose and status words that a\n"
    "controller Background Task writes continuously.\n";

constexpr const char* kReceiveInterfaceDoc =
    "Receive the telemetry stream of an Epson controller.\n"
    "\n"
    "The interface owns one telemetry socket and a reader thread that keeps the latest complete\n"
    "sample and the latest status, and reconnects by itself one second after the stream breaks.\n"
    "Poses are native ``[X, Y, Z, U, V, W]`` in millimeters and degrees; joints J1 to J6 are in\n"
    "the controller's joint units (degrees for rotary joints). Timestamps are seconds on the\n"
    "clock of ``time.monotonic()``.\n"
    "\n"
    "Example:\n"
    "    >>> telemetry = EthernetReceiveInterface()\n"
    "    >>> telemetry.connect(\"192.168.0.1\")\n"
    "    >>> telemetry.get_sample()[\"valid\"]\n"
    "    True\n"
    "    >>> telemetry.disconnect()\n";

/// steady_clock is CLOCK_MONOTONIC on Linux, the clock of time.monotonic().
double monotonicSeconds(std::chrono::steady_clock::time_point time) {
  return std::chrono::duration<double>(time.time_since_epoch()).count();
}

py::list floats(const std::array<double, 6>& values) {
  py::list result;
  for (const double value : values) result.append(value);
  return result;
}

py::dict sampleDict(const EthernetReceiveInterface& telemetry) {
  const epson::TelemetrySample sample = telemetry.getSample();
  py::dict result;
  result["joint_positions"] = floats(sample.joints);
  result["tcp_pose"] = floats(sample.pose);
  result["timestamp"] = monotonicSeconds(sample.timestamp);
  result["valid"] = sample.valid;
  return result;
}

py::dict statusDict(const EthernetReceiveInterface& telemetry) {
  const epson::TelemetryStatus status = telemetry.getStatus();
  py::dict fields;
  for (const auto& [name, value] : status.fields) fields[py::str(name)] = value;
  py::dict result;
  result["fields"] = fields;
  result["timestamp"] = monotonicSeconds(status.timestamp);
  result["valid"] = status.valid;
  return result;
}

}  // namespace

PYBIND11_MODULE(_receive_interface, m, py::multiple_interpreters::not_supported()) {
  m.doc() = kModuleDoc;

  py::class_<EthernetReceiveInterface, std::shared_ptr<EthernetReceiveInterface>>(
      m, "EthernetReceiveInterface", kReceiveInterfaceDoc)
      .def(py::init([] {
             return epson::bindings::releasedWithoutGil(
                 std::make_shared<EthernetReceiveInterface>());
           }),
           "Create a disconnected telemetry interface.")
      .def(
          "connect",
          [](EthernetReceiveInterface& telemetry, const std::string& host,
             epson::bindings::Port port) {
            py::gil_scoped_release release;
            telemetry.connect(host, port.number);
          },
          py::arg("host"), py::arg("port") = epson::bindings::Port{epson::kDefaultTelemetryPort},
          "Connect to the telemetry port and wait for the first complete sample.\n\n"
          "Closes any previous connection first and marks the stored sample and status\n"
          "invalid until new ones arrive.\n\n"
          "Args:\n"
          "    host: Controller hostname or IP address.\n"
          "    port: Controller-pushed telemetry port.\n\n"
          "Raises:\n"
          "    RuntimeError: If name resolution or connection fails, or no complete six-axis\n"
          "        sample arrives within 2 seconds.\n")
      .def("disconnect", &EthernetReceiveInterface::disconnect, ReleaseGil(),
           "Stop the reader thread and close the telemetry socket.\n\n"
           "The last sample and status stay readable. Safe to call when already disconnected.\n")
      .def("is_connected", &EthernetReceiveInterface::isConnected, ReleaseGil(),
           "Return whether the telemetry socket is connected.\n\n"
           "Returns:\n"
           "    ``True`` while the socket is open and being read; ``False`` while the\n"
           "    interface reconnects after the stream broke.\n")
      .def("get_sample", &sampleDict,
           "Return the latest complete six-axis sample.\n\n"
           "Returns:\n"
           "    A dict with ``joint_positions`` (J1 to J6), ``tcp_pose`` (native\n"
           "    ``[X, Y, Z, U, V, W]`` in millimeters and degrees), ``timestamp`` (seconds on\n"
           "    the ``time.monotonic()`` clock when it was stored) and ``valid`` (``False``\n"
           "    until a sample has arrived since the last ``connect()``).\n")
      .def("get_status", &statusDict,
           "Return the latest controller status.\n\n"
           "Returns:\n"
           "    A dict with ``fields`` (the integers ``control_device``, ``ctrl_info``,\n"
           "    ``emergency_stopped``, ``robot_info``, ``safeguard_open``, ``stat``,\n"
           "    ``system_error`` and ``teach_mode``; empty before the first status),\n"
           "    ``timestamp`` (seconds on the ``time.monotonic()`` clock) and ``valid``\n"
           "    (``False`` until a status has arrived since the last ``connect()``).\n"
           "    A status value that is not a number or lies outside the 64-bit integer range\n"
           "    is reported as 0.\n");
}
