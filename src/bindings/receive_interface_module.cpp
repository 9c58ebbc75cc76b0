// Python module _receive_interface: EthernetReceiveInterface.
// Thin by design: argument conversion, GIL release and docstrings; behaviour lives in src/epson.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>

#include "binding_support.hpp"
#include "epson/receive_interface.hpp"
#include "readable_errors.hpp"
#include "shared_log.hpp"

namespace py = pybind11;
using epson::EthernetReceiveInterface;
using epson::SampleStream;
using epson::bindings::InterruptibleCall;
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

constexpr const char* kSampleStreamDoc =
    "Every telemetry sample, in order, from the moment the stream was made.\n"
    "\n"
    "Made by ``EthernetReceiveInterface.samples()``. The reader thread fills a bounded queue of\n"
    "this stream's own and never waits for its consumer: when the queue is full it drops the\n"
    "oldest sample and counts it in ``dropped``. Iterating yields the samples (dicts as from\n"
    "``get_sample()``, with ``sequence``), waiting for the next with the interpreter lock\n"
    "released; iteration ends once the interface is disconnected and the samples queued before\n"
    "have been taken, or at once after ``close()`` (also at the end of a ``with`` block). The\n"
    "interface's own reconnections do not end it.\n"
    "\n"
    "Example:\n"
    "    >>> with telemetry.samples() as stream:\n"
    "    ...     for sample in stream:\n"
    "    ...         record(sample)\n";

/// The longest wait taken as given; anything longer (infinity included) waits this long.
constexpr double kLongestWaitS = 1e9;

std::chrono::nanoseconds waitFromSeconds(double seconds) {
  if (std::isnan(seconds) || seconds < 0) {
    throw std::invalid_argument("timeout_s must be a number of seconds, at least 0");
  }
  return std::chrono::nanoseconds(
      static_cast<std::int64_t>(std::ceil(std::min(seconds, kLongestWaitS) * 1e9)));
}

/// steady_clock is CLOCK_MONOTONIC on Linux, the clock of time.monotonic().
double monotonicSeconds(std::chrono::steady_clock::time_point time) {
  return std::chrono::duration<double>(time.time_since_epoch()).count();
}

py::list floats(const std::array<double, 6>& values) {
  py::list result;
  for (const double value : values) result.append(value);
  return result;
}

py::dict sampleFields(const epson::TelemetrySample& sample) {
  py::dict result;
  result["joint_positions"] = floats(sample.joints);
  result["tcp_pose"] = floats(sample.pose);
  result["timestamp"] = monotonicSeconds(sample.timestamp);
  result["valid"] = sample.valid;
  return result;
}

py::dict sampleDict(const EthernetReceiveInterface& telemetry) {
  return sampleFields(telemetry.getSample());
}

/// A sample as the stream and the wait hand it out: get_sample()'s keys and its sequence.
py::dict sequencedSample(const epson::TelemetrySample& sample) {
  py::dict result = sampleFields(sample);
  result["sequence"] = sample.sequence;
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
  epson::bindings::registerInterruptTranslator();
  epson::bindings::registerEpsonErrors();
  epson::bindings::connectSharedLog();

  py::class_<SampleStream, std::shared_ptr<SampleStream>>(m, "SampleStream", kSampleStreamDoc)
      .def("__iter__", [](std::shared_ptr<SampleStream> self) { return self; })
      .def(
          "__next__",
          [](SampleStream& stream) {
            epson::TelemetrySample sample;
            bool taken = false;
            {
              const InterruptibleCall interruptible;
              taken = stream.next(sample);
            }
            if (!taken) throw py::stop_iteration();
            return sequencedSample(sample);
          },
          "Return the next sample, waiting for it with the interpreter lock released.\n\n"
          "Raises:\n"
          "    StopIteration: Once the interface is disconnected and every sample queued\n"
          "        before has been taken, or once the stream is closed.\n"
          "    KeyboardInterrupt: On Ctrl-C while the main thread waits.\n")
      .def(
          "next_nowait",
          [](SampleStream& stream) -> std::optional<py::dict> {
            epson::TelemetrySample sample;
            switch (stream.tryNext(sample)) {
              case SampleStream::Next::kSample:
                return sequencedSample(sample);
              case SampleStream::Next::kEmpty:
                return std::nullopt;
              case SampleStream::Next::kEnded:
                break;
            }
            throw py::stop_iteration();
          },
          "Return the next queued sample without waiting.\n\n"
          "Returns:\n"
          "    The oldest queued sample, or ``None`` when none is queued yet.\n\n"
          "Raises:\n"
          "    StopIteration: When the stream has ended, as ``next()`` would.\n")
      .def(
          "wait",
          [](SampleStream& stream, double timeout_s) {
            const std::chrono::nanoseconds timeout = waitFromSeconds(timeout_s);
            const InterruptibleCall interruptible;
            return stream.waitReady(timeout);
          },
          py::arg("timeout_s"),
          "Wait until a sample is queued or the stream has ended, without taking anything.\n\n"
          "Args:\n"
          "    timeout_s: The longest wait in seconds.\n\n"
          "Returns:\n"
          "    ``True`` when ``next_nowait()`` now has a sample or would raise\n"
          "    StopIteration; ``False`` after ``timeout_s``.\n\n"
          "Raises:\n"
          "    ValueError: If ``timeout_s`` is negative or not a number.\n")
      .def("fileno", &SampleStream::readyDescriptor,
           "Return a descriptor for an event loop to watch (``loop.add_reader``).\n\n"
           "It is readable while ``next_nowait()`` may have something to say: a sample is\n"
           "queued, or the stream has ended. ``next_nowait()`` clears it when it finds the\n"
           "queue empty. It stays open as long as the stream object; do not read or close it.\n\n"
           "Raises:\n"
           "    OSError: If no descriptor can be made.\n")
      .def("close", &SampleStream::close,
           "Detach the stream from the interface and drop the samples it holds.\n\n"
           "Iteration then ends at once; waits of other threads end too. Safe to call twice.\n")
      .def("__enter__", [](std::shared_ptr<SampleStream> self) { return self; })
      .def(
          "__exit__",
          [](SampleStream& stream, const py::object&, const py::object&, const py::object&) {
            stream.close();
          },
          py::arg("exc_type"), py::arg("exc_value"), py::arg("traceback"))
      .def_property_readonly("dropped", &SampleStream::dropped,
                             "Samples dropped so far because the queue was full.")
      .def_property_readonly("max_queue", &SampleStream::capacity,
                             "The most samples the queue holds.")
      .def_property_readonly("closed", &SampleStream::closed, "Whether ``close()`` was called.");

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
            const InterruptibleCall interruptible;
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
          "        sample arrives within 2 seconds.\n"
          "    KeyboardInterrupt: On Ctrl-C while the main thread waits; the interface is\n"
          "        then disconnected.\n")
      .def(
          "__enter__", [](std::shared_ptr<EthernetReceiveInterface> self) { return self; },
          "Return the interface; leaving the ``with`` block disconnects it.")
      .def(
          "__exit__",
          [](EthernetReceiveInterface& receiver, const py::object&, const py::object&,
             const py::object&) {
            const py::gil_scoped_release release;
            receiver.disconnect();
            return false;
          },
          py::arg("exc_type"), py::arg("exc_value"), py::arg("traceback"),
          "Disconnect, exception or not.")
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
           "    is reported as 0.\n")
      .def(
          "wait_for_sample",
          [](const EthernetReceiveInterface& telemetry, std::optional<std::int64_t> after,
             double timeout_s) -> std::optional<py::dict> {
            const std::chrono::nanoseconds timeout = waitFromSeconds(timeout_s);
            // Every sequence is at least 1: a negative `after` lets any sample through.
            std::optional<std::uint64_t> threshold;
            if (after) threshold = static_cast<std::uint64_t>(std::max<std::int64_t>(*after, 0));
            std::optional<epson::TelemetrySample> sample;
            {
              const InterruptibleCall interruptible;
              sample = telemetry.waitForSample(threshold, timeout);
            }
            if (!sample) return std::nullopt;
            return sequencedSample(*sample);
          },
          py::arg("after") = py::none(), py::arg("timeout_s") = 1.0,
          "Wait for a sample without polling, the interpreter lock released.\n\n"
          "Woken by the reader thread as each sample is stored.\n\n"
          "Args:\n"
          "    after: ``None`` for the latest sample at once when there is one, else the\n"
          "        first to arrive; otherwise the first sample whose ``sequence`` is greater\n"
          "        (the latest at once when it already is).\n"
          "    timeout_s: The longest wait in seconds.\n\n"
          "Returns:\n"
          "    A dict as from ``get_sample()`` with ``sequence`` (complete samples since\n"
          "    ``connect()``, 1 for the first; the interface's own reconnections do not reset\n"
          "    it), or ``None`` after ``timeout_s`` or once the interface is disconnected\n"
          "    with no such sample.\n\n"
          "Raises:\n"
          "    ValueError: If ``timeout_s`` is negative or not a number.\n"
          "    KeyboardInterrupt: On Ctrl-C while the main thread waits.\n")
      .def(
          "samples",
          [](EthernetReceiveInterface& telemetry, std::int64_t max_queue) {
            const std::size_t size = max_queue < 1
                                         ? 0
                                         : static_cast<std::size_t>(std::min<std::int64_t>(
                                               max_queue, epson::kMaxSampleQueue + 1));
            return std::make_shared<SampleStream>(telemetry.samples(size));
          },
          py::arg("max_queue") = epson::kDefaultSampleQueue,
          "Return a stream of every sample from now on.\n\n"
          "Args:\n"
          "    max_queue: The most samples the stream holds for a consumer that falls\n"
          "        behind; beyond that the oldest are dropped and counted in ``dropped``.\n\n"
          "Returns:\n"
          "    A :class:`SampleStream`; made while disconnected, it yields nothing.\n\n"
          "Raises:\n"
          "    ValueError: If ``max_queue`` is not between 1 and 1048576.\n");
}
