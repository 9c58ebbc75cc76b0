// Python module _robot_cell: RobotCell.
// Thin by design: argument conversion, GIL release and docstrings; behaviour lives in src/epson.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <optional>
#include <string>

#include "binding_support.hpp"
#include "epson/robot_cell.hpp"
#include "readable_errors.hpp"
#include "shared_log.hpp"

namespace py = pybind11;
using epson::RobotCell;
using epson::bindings::ReleaseGil;

namespace {

/// An interface the cell owns, handed to Python so that its last reference is dropped with the
/// GIL released.
template <auto getter>
auto handOut(const RobotCell& cell) {
  return epson::bindings::releasedWithoutGil((cell.*getter)());
}

constexpr const char* kModuleDoc =
    "Provide combined ownership of Epson hardware connections.\n"
    "\n"
    "``RobotCell`` opens and closes the command and telemetry\n"
    "interfaces as one unit.\n";

constexpr const char* kRobotCellDoc =
    "Own the Epson command and telemetry connections together.\n"
    "\n"
    "Construction logs into the command interface, verifies the login, and then opens\n"
    "telemetry without enabling the motors; motor power is controlled separately through the\n"
    "command interface. If either connection fails, both interfaces are closed before the\n"
    "exception that caused the failure is propagated. The Remote Ethernet credential is\n"
    "managed privately by the hardware layer.\n"
    "\n"
    "Example:\n"
    "    >>> cell = RobotCell(\"192.168.0.1\")\n"
    "    >>> control = cell.get_control_interface()\n"
    "    >>> telemetry = cell.get_receive_interface()\n"
    "    >>> cell.disconnect()\n";

}  // namespace

PYBIND11_MODULE(_robot_cell, m, py::multiple_interpreters::not_supported()) {
  // The interfaces are returned as the types these modules register; importing them first makes
  // those returns work without the caller's help and names the types in the signatures.
  py::module_::import("epson_remote._command_channel");
  py::module_::import("epson_remote._receive_interface");

  m.doc() = kModuleDoc;
  epson::bindings::registerReadableErrors();
  epson::bindings::registerEpsonErrors();
  epson::bindings::connectSharedLog();
  epson::bindings::registerInterruptTranslator();

  py::class_<RobotCell, std::shared_ptr<RobotCell>>(m, "RobotCell", kRobotCellDoc)
      // The GIL is released inside the factory: a release guard on a factory constructor
      // corrupts pybind11's instance registry.
      .def(py::init([](const std::string& host, epson::bindings::Port control_port,
                       epson::bindings::Port receive_port,
                       const std::optional<std::string>& password, double timeout_s, int attempts) {
             std::shared_ptr<RobotCell> cell;
             {
               const epson::bindings::InterruptibleCall call;
               cell = std::make_shared<RobotCell>(host, control_port.number, receive_port.number,
                                                  epson::ConnectOptions{timeout_s, attempts},
                                                  password);
             }
             // Its teardown disconnects both interfaces: never with the lock held.
             return epson::bindings::releasedWithoutGil(std::move(cell));
           }),
           py::arg("host"),
           py::arg("control_port") = epson::bindings::Port{epson::kDefaultCommandPort},
           py::arg("receive_port") = epson::bindings::Port{epson::kDefaultTelemetryPort},
           py::kw_only(), py::arg("password") = py::none(),
           py::arg("timeout_s") = epson::ConnectOptions{}.timeout_s,
           py::arg("attempts") = epson::ConnectOptions{}.attempts,
           "Connect to an Epson controller.\n\n"
           "Args:\n"
           "    host: Controller hostname or IP address.\n"
           "    control_port: Remote Ethernet command port.\n"
           "    receive_port: Controller-pushed telemetry port.\n"
           "    password: The Remote Ethernet password; ``None`` keeps the cell's own.\n"
           "    timeout_s: Bound of each TCP connect attempt of the command port, in seconds.\n"
           "    attempts: Connect-and-login attempts of the command port, 2 s apart.\n\n"
           "Raises:\n"
           "    ValueError: If ``timeout_s`` or ``attempts`` is out of range.\n"
           "    RuntimeError: If either connection, login, or initial telemetry readiness\n"
           "        check fails.\n"
           "    KeyboardInterrupt: On Ctrl-C in the main thread; nothing stays connected.\n")
      .def("get_control_interface", handOut<&RobotCell::getControlInterface>,
           "Return the owned command interface.\n\n"
           "Returns:\n"
           "    The connected :class:`CommandChannel`.\n")
      .def("get_receive_interface", handOut<&RobotCell::getReceiveInterface>,
           "Return the owned telemetry interface.\n\n"
           "Returns:\n"
           "    The connected :class:`EthernetReceiveInterface`.\n")
      .def(
          "__enter__", [](std::shared_ptr<RobotCell> self) { return self; },
          "Return the cell; leaving the ``with`` block disconnects both interfaces.")
      .def(
          "__exit__",
          [](RobotCell& cell, const py::object&, const py::object&, const py::object&) {
            const py::gil_scoped_release release;
            cell.disconnect();
            return false;
          },
          py::arg("exc_type"), py::arg("exc_value"), py::arg("traceback"),
          "Disconnect both interfaces, exception or not.")
      .def("is_connected", &RobotCell::isConnected, ReleaseGil(),
           "Return whether both Epson connections are active.\n\n"
           "Returns:\n"
           "    ``True`` only while command and telemetry interfaces are connected.\n")
      .def("disconnect", &RobotCell::disconnect, epson::bindings::Interruptible(),
           "Disconnect both Epson interfaces.\n\n"
           "The telemetry interface is stopped first. The control interface then restores\n"
           "the original Tool state, turns motors off when appropriate, logs out, and\n"
           "closes its socket.\n\n"
           "Raises:\n"
           "    RuntimeError: If either interface reports a shutdown failure.\n");
}
