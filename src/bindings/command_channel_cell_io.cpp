// CommandChannel: inputs and outputs, memory I/O, Global Preserve variables, programs and the
// controller's remote status. Conversion, GIL release and docstrings only.
#include "command_channel_cell_io.hpp"

#include <pybind11/stl.h>

#include <cstdint>
#include <limits>
#include <string>
#include <variant>

#include "binding_support.hpp"
#include "readable_errors.hpp"

namespace py = pybind11;

namespace epson::bindings {

namespace {

/// A bit or port number as Python passes it: an int (not a bool) from 0 to `max`; anything else
/// is a ValueError before anything is sent.
std::int64_t indexArgument(const py::handle& value, std::int64_t max, const char* what) {
  const std::string message =
      std::string(what) + " must be an integer from 0 to " + std::to_string(max);
  if (!PyLong_Check(value.ptr()) || PyBool_Check(value.ptr())) throw py::value_error(message);
  int overflow = 0;
  const long long number = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
  if (overflow != 0 || number < 0 || number > max) throw py::value_error(message);
  return number;
}

constexpr std::int64_t kMaxIndex = 65535;

VariableValue variableArgument(const py::handle& value) {
  if (PyBool_Check(value.ptr())) return value.cast<bool>();
  if (PyLong_Check(value.ptr())) {
    int overflow = 0;
    const long long number = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (overflow == 0) return static_cast<std::int64_t>(number);
    const unsigned long long unsignedNumber = PyLong_AsUnsignedLongLong(value.ptr());
    if (PyErr_Occurred() != nullptr) {
      PyErr_Clear();
      throw py::value_error("value is out of the range of every integer variable type");
    }
    return static_cast<std::uint64_t>(unsignedNumber);
  }
  if (PyFloat_Check(value.ptr())) return value.cast<double>();
  if (PyUnicode_Check(value.ptr())) return value.cast<std::string>();
  throw py::value_error("value must be a bool, an int, a float or a str");
}

py::object variableResult(const VariableValue& value) {
  return std::visit(
      [](const auto& held) -> py::object {
        using Held = std::decay_t<decltype(held)>;
        if constexpr (std::is_same_v<Held, std::string>) {
          return readableText(held);  // the controller's bytes, as received
        } else {
          return py::cast(held);
        }
      },
      value);
}

py::dict remoteStatusDict(const RemoteStatus& status) {
  py::dict result;
  result["test"] = status.test;
  result["teach_mode"] = status.teach_mode;
  result["auto"] = status.auto_mode;
  result["warning"] = status.warning;
  result["severe_error"] = status.severe_error;
  result["safeguard_open"] = status.safeguard_open;
  result["emergency_stopped"] = status.emergency_stopped;
  result["error"] = status.error;
  result["paused"] = status.paused;
  result["running"] = status.running;
  result["ready"] = status.ready;
  result["error_code"] = status.error_code;
  return result;
}

/// A method of one bit or port argument, the GIL released for the request.
template <typename Result>
auto indexed(Result (CommandChannel::*method)(std::int64_t), const char* what) {
  return [method, what](CommandChannel& channel, const py::handle& index) {
    const std::int64_t number = indexArgument(index, kMaxIndex, what);
    const InterruptibleCall call;
    return (channel.*method)(number);
  };
}

auto switched(void (CommandChannel::*method)(std::int64_t, bool)) {
  return [method](CommandChannel& channel, const py::handle& bit, bool on) {
    const std::int64_t number = indexArgument(bit, kMaxIndex, "bit");
    const InterruptibleCall call;
    (channel.*method)(number, on);
  };
}

auto valued(void (CommandChannel::*method)(std::int64_t, std::int64_t), std::int64_t max) {
  return [method, max](CommandChannel& channel, const py::handle& port, const py::handle& value) {
    const std::int64_t portNumber = indexArgument(port, kMaxIndex, "port");
    const std::int64_t number = indexArgument(value, max, "value");
    const InterruptibleCall call;
    (channel.*method)(portNumber, number);
  };
}

constexpr const char* kRemoteRequestNote =
    "Uses the controller's own Remote Ethernet request, which it answers also under an\n"
    "emergency stop, with the safeguard open or an error pending.\n\n";
constexpr const char* kIndexRaises =
    "Raises:\n"
    "    ValueError: If a bit, port or value is not an int in its range (nothing is sent).\n"
    "    RuntimeError: If the session is unavailable, the request is refused or the reply\n"
    "        does not parse.\n";

std::string doc(const char* summary, const char* args, const char* returns) {
  return std::string(summary) + "\n\n" + kRemoteRequestNote + "Args:\n" + args +
         (returns[0] != '\0' ? std::string("\nReturns:\n") + returns : std::string()) + "\n" +
         kIndexRaises;
}

}  // namespace

void defineCellIo(py::class_<CommandChannel, std::shared_ptr<CommandChannel>>& channel) {
  const py::arg bit("bit");
  const py::arg port("port");
  channel
      .def("get_input_bit", indexed(&CommandChannel::getInputBit, "bit"), bit,
           doc("Read one input bit (``$GetIO``).", "    bit: Input bit, 0 to 65535.\n",
               "    ``True`` when the input is on.\n")
               .c_str())
      .def("get_input_byte", indexed(&CommandChannel::getInputByte, "port"), port,
           doc("Read one input byte (``$GetIOByte``).", "    port: Byte port, 0 to 65535.\n",
               "    The 8 inputs of the port as an int, 0 to 255.\n")
               .c_str())
      .def("get_input_word", indexed(&CommandChannel::getInputWord, "port"), port,
           doc("Read one input word (``$GetIOWord``).", "    port: Word port, 0 to 65535.\n",
               "    The 16 inputs of the port as an int, 0 to 65535.\n")
               .c_str())
      .def("set_output_bit", switched(&CommandChannel::setOutputBit), bit,
           py::arg("on").noconvert(),
           doc("Switch one output bit (``$SetIO``).",
               "    bit: Output bit, 0 to 65535.\n    on: ``True`` on, ``False`` off.\n", "")
               .c_str())
      .def("set_output_byte", valued(&CommandChannel::setOutputByte, 255), port, py::arg("value"),
           doc("Write one output byte (``$SetIOByte``).",
               "    port: Byte port, 0 to 65535.\n    value: 0 to 255.\n", "")
               .c_str())
      .def("set_output_word", valued(&CommandChannel::setOutputWord, 65535), port, py::arg("value"),
           doc("Write one output word (``$SetIOWord``).",
               "    port: Word port, 0 to 65535.\n    value: 0 to 65535.\n", "")
               .c_str())
      .def("get_memory_bit", indexed(&CommandChannel::getMemoryBit, "bit"), bit,
           doc("Read one memory I/O bit (``$GetMemIO``).", "    bit: Memory bit, 0 to 65535.\n",
               "    ``True`` when the bit is on.\n")
               .c_str())
      .def("set_memory_bit", switched(&CommandChannel::setMemoryBit), bit,
           py::arg("on").noconvert(),
           doc("Switch one memory I/O bit (``$SetMemIO``).",
               "    bit: Memory bit, 0 to 65535.\n    on: ``True`` on, ``False`` off.\n", "")
               .c_str())
      .def("get_output_bit", indexed(&CommandChannel::getOutputBit, "bit"), bit,
           "Read back one output bit with SPEL+ ``Print Oport(bit)``.\n\n"
           "Goes through ``$Execute``, so it is refused where ``$Execute`` is (an emergency\n"
           "stop, an open safeguard, an error, while a motion runs).\n\n"
           "Args:\n    bit: Output bit, 0 to 65535.\n\n"
           "Returns:\n    ``True`` when the output is on.\n\n"
           "Raises:\n"
           "    ValueError: If the bit is not an int from 0 to 65535 (nothing is sent).\n"
           "    RuntimeError: If the session is unavailable or the statement is refused.\n")
      .def("get_output_byte", indexed(&CommandChannel::getOutputByte, "port"), port,
           "Read back one output byte with SPEL+ ``Print Out(port)`` (through ``$Execute``).\n\n"
           "Args:\n    port: Byte port, 0 to 65535.\n\n"
           "Returns:\n    The 8 outputs of the port as an int, 0 to 255.\n\n"
           "Raises:\n"
           "    ValueError: If the port is not an int from 0 to 65535 (nothing is sent).\n"
           "    RuntimeError: If the session is unavailable or the statement is refused.\n")
      .def("get_output_word", indexed(&CommandChannel::getOutputWord, "port"), port,
           "Read back one output word with SPEL+ ``Print OutW(port)`` (through ``$Execute``).\n\n"
           "Args:\n    port: Word port, 0 to 65535.\n\n"
           "Returns:\n    The 16 outputs of the port as an int, 0 to 65535.\n\n"
           "Raises:\n"
           "    ValueError: If the port is not an int from 0 to 65535 (nothing is sent).\n"
           "    RuntimeError: If the session is unavailable or the statement is refused.\n")
      .def(
          "wait_for_input",
          [](CommandChannel& self, const py::handle& bitNumber, bool on, double timeout_s) {
            const std::int64_t number = indexArgument(bitNumber, kMaxIndex, "bit");
            const InterruptibleCall call;
            return self.waitForInput(number, on, timeout_s);
          },
          bit, py::arg("on").noconvert(), py::arg("timeout_s"),
          "Wait until an input bit is on (or off).\n\n"
          "Polls ``$GetIO`` every 10 ms, holding the connection for one request per poll, so\n"
          "other threads' calls go between the polls.\n\n"
          "Args:\n"
          "    bit: Input bit, 0 to 65535.\n"
          "    on: The state to wait for.\n"
          "    timeout_s: The longest wait in seconds, 0 to 86400 (0: one look).\n\n"
          "Returns:\n    ``True`` when the input reached the state, ``False`` on time-out.\n\n"
          "Raises:\n"
          "    ValueError: If the bit or the time-out is out of range (nothing is sent).\n"
          "    RuntimeError: If the session is unavailable or a poll fails.\n")
      .def(
          "get_variable",
          [](CommandChannel& self, const std::string& name, const std::string& type) {
            VariableValue value;
            {
              const InterruptibleCall call;
              value = self.getVariable(name, type);
            }
            return variableResult(value);
          },
          py::arg("name"), py::arg("type") = "Double",
          "Read a Global Preserve variable (``$GetVariable,name,type``).\n\n"
          "Answered also under an emergency stop or with the safeguard open.\n\n"
          "Args:\n"
          "    name: A SPEL+ identifier, optionally with one index: ``g_count``, ``g_pos(3)``.\n"
          "    type: Boolean, Byte, UByte, Short, Integer, UShort, Long, Int32, UInt32, Int64,\n"
          "        UInt64, Real, Double or String.\n\n"
          "Returns:\n"
          "    A bool (Boolean; the controller's True/False and -1/0/1 are read), an int (the\n"
          "    integer types), a float (Real, Double) or a str (String).\n\n"
          "Raises:\n"
          "    ValueError: If the name or the type is not valid (nothing is sent).\n"
          "    RuntimeError: If the session is unavailable, the controller refuses or the\n"
          "        value does not parse as the type.\n")
      .def(
          "set_variable",
          [](CommandChannel& self, const std::string& name, const py::handle& value,
             const std::string& type) {
            const VariableValue converted = variableArgument(value);
            const InterruptibleCall call;
            self.setVariable(name, converted, type);
          },
          py::arg("name"), py::arg("value"), py::arg("type") = "Double",
          "Write a Global Preserve variable (``$SetVariable,name,value``).\n\n"
          "Args:\n"
          "    name: A SPEL+ identifier, optionally with one index: ``g_pos(3)``.\n"
          "    value: A bool for Boolean; an int in the type's range for Byte (-128..127),\n"
          "        UByte (0..255), Short and Integer (-32768..32767), UShort (0..65535), Long\n"
          "        and Int32 (32-bit signed), UInt32, Int64, UInt64; a finite float (or int)\n"
          "        for Real and Double; a str of at most 255 characters without quote, comma,\n"
          "        CR, LF or NUL for String.\n"
          "    type: The variable's type (see ``get_variable``), which checks the value.\n\n"
          "Raises:\n"
          "    ValueError: If the name, the type or the value is not valid (nothing is sent).\n"
          "    RuntimeError: If the session is unavailable or the controller refuses.\n")
      .def(
          "start_program",
          [](CommandChannel& self, const py::handle& function) {
            const std::int64_t number = indexArgument(function, 63, "function");
            const InterruptibleCall call;
            self.startProgram(number);
          },
          py::arg("function") = 0,
          "Start a program function of the controller's project (``$Start,function``).\n\n"
          "Args:\n    function: The function number, 0 to 63 (``main`` is 0).\n\n"
          "Raises:\n"
          "    ValueError: If the number is not an int from 0 to 63 (nothing is sent).\n"
          "    RuntimeError: If the session is unavailable or the controller refuses (not\n"
          "        ready, an error, an emergency stop, the safeguard open).\n")
      .def("stop_programs", &CommandChannel::stopPrograms, Interruptible(),
           "Stop every task of the controller's programs (``$Stop``).\n\n"
           "Raises:\n"
           "    RuntimeError: If the session is unavailable or the controller refuses.\n")
      .def(
          "get_remote_status",
          [](CommandChannel& self) {
            RemoteStatus status;
            {
              const InterruptibleCall call;
              status = self.getRemoteStatus();
            }
            return remoteStatusDict(status);
          },
          "Read the controller's remote status (``$GetStatus``).\n\n"
          "Answered in every state, and delivered at once while a ``go`` or ``move`` holds the\n"
          "connection, like ``pause()``.\n\n"
          "Returns:\n"
          "    A dict of booleans ``test``, ``teach_mode``, ``auto``, ``warning``,\n"
          "    ``severe_error``, ``safeguard_open``, ``emergency_stopped``, ``error``,\n"
          "    ``paused``, ``running``, ``ready`` and the int ``error_code`` (the controller's\n"
          "    error or warning number, 0 for none).\n\n"
          "Raises:\n"
          "    RuntimeError: If the session is unavailable or the reply does not parse.\n")
      .def(
          "execute_statement",
          [](CommandChannel& self, const std::string& statement) {
            std::string output;
            {
              const InterruptibleCall call;
              output = self.executeStatement(statement);
            }
            return readableText(output);
          },
          py::arg("statement"),
          "Run one SPEL+ statement through ``$Execute`` (5000 ms) and return its output.\n\n"
          "An escape hatch for what the library has no method for. What it does is not\n"
          "tracked: a ``Motor On`` sent this way is not turned off by ``disconnect()``, a\n"
          "``Tool`` selected this way is not restored. Motion statements (``Go``, ``Move``,\n"
          "``Jump``, ``Arc``, ...) are refused: use ``go()`` or ``move()``.\n\n"
          "Args:\n    statement: The statement, without quotes, CR, LF or NUL.\n\n"
          "Returns:\n    The ``Print`` output, ``\"\"`` for a statement that prints nothing.\n\n"
          "Raises:\n"
          "    ValueError: If the statement is empty, holds a quote, a line ending or a NUL,\n"
          "        or is a motion statement (nothing is sent).\n"
          "    RuntimeError: If the session is unavailable or the controller refuses.\n");
}

}  // namespace epson::bindings
