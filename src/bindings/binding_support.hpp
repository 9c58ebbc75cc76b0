// What every extension module needs beside its conversions: teardown without the interpreter
// lock, and port numbers taken as Python integers only.
#pragma once

#include <pybind11/pybind11.h>
#include <unistd.h>

#include <cstdint>
#include <memory>

#include "epson/interruption.hpp"

namespace epson::bindings {

/// For blocking calls: the native code runs with the GIL released.
using ReleaseGil = pybind11::call_guard<pybind11::gil_scoped_release>;

/// Whether the calling thread is Python's main thread, the one that runs signal handlers.
/// Called with the GIL held; the answer is looked up again in a forked child.
inline bool onPythonMainThread() {
  static unsigned long mainIdent = 0;
  static pid_t lookedUpIn = 0;
  if (lookedUpIn != ::getpid()) {
    mainIdent = pybind11::module_::import("threading")
                    .attr("main_thread")()
                    .attr("ident")
                    .cast<unsigned long>();
    lookedUpIn = ::getpid();
  }
  return PyThread_get_thread_ident() == mainIdent;
}

/// The check a blocking call asks between its waits: runs Python's signal handlers, and fires
/// when one raised (Ctrl-C: KeyboardInterrupt). The exception stays set on this thread for the
/// translator of epson::Interrupted to hand back to Python.
inline bool pythonSignalRaised() {
  const pybind11::gil_scoped_acquire gil;
  return PyErr_CheckSignals() != 0;
}

/// A blocking call with the GIL released that, in the main thread, ends with the exception a
/// signal handler raised (KeyboardInterrupt for Ctrl-C) within about a tenth of a second. In
/// other threads it is ReleaseGil.
class InterruptibleCall {
 public:
  InterruptibleCall() : scope_(onPythonMainThread() ? &pythonSignalRaised : nullptr) {}

 private:
  // Constructed in this order with the GIL held, then released; the GIL is taken back first.
  epson::InterruptScope scope_;
  pybind11::gil_scoped_release release_;
};
using Interruptible = pybind11::call_guard<InterruptibleCall>;

/// Hands the exception a signal handler raised back to Python (registered by every module).
inline void registerInterruptTranslator() {
  pybind11::register_local_exception_translator([](std::exception_ptr pending) {
    try {
      if (pending) std::rethrow_exception(pending);
    } catch (const epson::Interrupted&) {
      if (PyErr_Occurred() == nullptr) PyErr_SetNone(PyExc_KeyboardInterrupt);
    }
  });
}

/// Drops `object` with the interpreter lock released when this thread holds it: the teardown of
/// a session (disconnect steps, joining a reader thread) can wait on the network or on another
/// thread's motion, and must not freeze every other Python thread meanwhile. During interpreter
/// shutdown the lock is kept: no other Python thread can run then anyway.
template <typename T>
void dropWithoutGil(std::shared_ptr<T>& object) noexcept {
  if (Py_IsInitialized() != 0 && _Py_IsFinalizing() == 0 && PyGILState_Check() != 0) {
    pybind11::gil_scoped_release release;
    object.reset();
  } else {
    object.reset();
  }
}

/// A handle to `object` for Python: when Python lets go of its last reference, the object is
/// released through dropWithoutGil. Instances already known to Python keep their handle.
template <typename T>
std::shared_ptr<T> releasedWithoutGil(std::shared_ptr<T> object) {
  T* const raw = object.get();
  return std::shared_ptr<T>(raw, [held = std::move(object)](T*) mutable { dropWithoutGil(held); });
}

/// A port number as Python passes it: an int, or an object with __index__ such as a NumPy
/// integer, from 0 to 65535. Anything else (a float, a float-like, a number out of range) does
/// not convert, and the call fails with the usual "incompatible function arguments" TypeError.
struct Port {
  std::uint16_t number = 0;
};

}  // namespace epson::bindings

namespace pybind11::detail {

template <>
struct type_caster<epson::bindings::Port> {
  PYBIND11_TYPE_CASTER(epson::bindings::Port, const_name("int"));

  bool load(handle source, bool /*convert*/) {
    if (!source || PyFloat_Check(source.ptr()) || PyIndex_Check(source.ptr()) == 0) return false;
    const object index = reinterpret_steal<object>(PyNumber_Index(source.ptr()));
    if (!index) {
      PyErr_Clear();
      return false;
    }
    int overflow = 0;
    const long long number = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (PyErr_Occurred() != nullptr) PyErr_Clear();
    if (overflow != 0 || number < 0 || number > 65535) return false;
    value.number = static_cast<std::uint16_t>(number);
    return true;
  }

  static handle cast(epson::bindings::Port port, return_value_policy /*policy*/,
                     handle /*parent*/) {
    return PyLong_FromLong(port.number);
  }
};

}  // namespace pybind11::detail
