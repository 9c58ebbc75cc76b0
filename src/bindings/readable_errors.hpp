// Native messages quote the controller's bytes as received. pybind11's standard translation
// decodes a message as strict UTF-8, so one stray byte from the controller would turn a
// RuntimeError into a UnicodeDecodeError (a ValueError) that callers do not expect. This
// translator steps in only for such messages: it raises the exception type the standard
// translation would, with the undecodable bytes shown as escapes. Every other exception is
// passed on to the standard translation unchanged.
#pragma once

#include <pybind11/pybind11.h>

#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>

#include "epson/errors.hpp"

namespace epson::bindings {

inline pybind11::str readableText(const std::string& text) {
  PyObject* decoded =
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "backslashreplace");
  if (decoded == nullptr) throw pybind11::error_already_set();
  return pybind11::reinterpret_steal<pybind11::str>(decoded);
}

inline bool isUtf8(const char* text) {
  PyObject* decoded =
      PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), "strict");
  if (decoded == nullptr) {
    PyErr_Clear();
    return false;
  }
  Py_DECREF(decoded);
  return true;
}

inline void raiseReadable(PyObject* type, const char* message) {
  PyErr_SetObject(type, readableText(message).ptr());
}

inline void registerReadableErrors() {
  pybind11::register_local_exception_translator([](std::exception_ptr error) {
    try {
      if (error) std::rethrow_exception(error);
    } catch (const std::bad_alloc&) {
      throw;
    } catch (const std::exception& failure) {
      if (isUtf8(failure.what())) throw;  // the standard translation handles it
      try {
        throw;
      } catch (const std::out_of_range& e) {
        raiseReadable(PyExc_IndexError, e.what());
      } catch (const std::overflow_error& e) {
        raiseReadable(PyExc_OverflowError, e.what());
      } catch (const std::invalid_argument& e) {
        raiseReadable(PyExc_ValueError, e.what());
      } catch (const std::domain_error& e) {
        raiseReadable(PyExc_ValueError, e.what());
      } catch (const std::length_error& e) {
        raiseReadable(PyExc_ValueError, e.what());
      } catch (const std::range_error& e) {
        raiseReadable(PyExc_ValueError, e.what());
      } catch (const std::exception& e) {
        raiseReadable(PyExc_RuntimeError, e.what());
      }
    }
  });
}

/// Raises the Python class `name` of epson_remote._errors (shared by the three modules) with
/// the message, readable whatever bytes the controller sent, and for a controller failure its
/// code, request and reply.
inline void raiseEpsonError(const char* name, const epson::EpsonError& error) {
  const pybind11::object type = pybind11::module_::import("epson_remote._errors").attr(name);
  pybind11::object instance;
  if (const auto* failure = dynamic_cast<const epson::ControllerError*>(&error)) {
    instance = type(readableText(error.what()),
                    failure->code() ? pybind11::object(pybind11::int_(*failure->code()))
                                    : pybind11::object(pybind11::none()),
                    readableText(failure->request()), readableText(failure->reply()));
  } else {
    instance = type(readableText(error.what()));
  }
  PyErr_SetObject(type.ptr(), instance.ptr());
}

/// The library's failures as the exception classes of epson_remote, each a RuntimeError.
inline void registerEpsonErrors() {
  pybind11::register_local_exception_translator([](std::exception_ptr error) {
    try {
      if (error) std::rethrow_exception(error);
    } catch (const epson::ControllerError& e) {
      raiseEpsonError("ControllerError", e);
    } catch (const epson::EpsonTimeout& e) {
      raiseEpsonError("EpsonTimeout", e);
    } catch (const epson::ConnectionLost& e) {
      raiseEpsonError("ConnectionLost", e);
    } catch (const epson::NotConnected& e) {
      raiseEpsonError("NotConnected", e);
    } catch (const epson::ProtocolError& e) {
      raiseEpsonError("ProtocolError", e);
    } catch (const epson::EpsonError& e) {
      raiseEpsonError("EpsonError", e);
    }
  });
}

}  // namespace epson::bindings
