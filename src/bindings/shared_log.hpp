// One log queue for the whole process, shared by the three extension modules (each carries its
// own copy of the core, and so its own sink): the first module imported creates it and leaves a
// capsule with its functions in epson_remote._logging; the others find it there. Every module's
// core writes through it, so lines of all three keep their order.
//
// Until epson_remote.log_to() turns queueing on, a line is written to the standard streams at
// once, as the core does by default. While queueing, a line is appended under a short lock and a
// Python thread of epson_remote._logging takes the lines and hands them to logging: a native
// thread never waits for the GIL here, whatever locks it holds.
#pragma once

#include <pybind11/pybind11.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <utility>

#include "epson/log_sink.hpp"

namespace epson::bindings {

/// The functions of the shared queue, called from any of the modules (C types only).
struct SharedLogApi {
  void (*push)(int level, const char* text, std::size_t size);
  void (*setQueueing)(bool on);
  /// Waits at most `timeoutS` for lines, then passes each queued line to `each`.
  void (*take)(double timeoutS,
               void (*each)(void* context, int level, const char* text, std::size_t size),
               void* context);
};

namespace shared_log_detail {

/// Lines beyond this while nobody takes them are dropped, oldest first, and counted.
constexpr std::size_t kMaxQueuedLines = 10000;

struct Queue {
  std::mutex mutex;
  std::condition_variable ready;
  std::deque<std::pair<int, std::string>> lines;
  bool queueing = false;
  std::size_t dropped = 0;
};

inline Queue& queue() {
  static Queue* const instance = new Queue();  // never destroyed: native threads may log late
  return *instance;
}

inline void push(int level, const char* text, std::size_t size) {
  Queue& q = queue();
  {
    const std::lock_guard<std::mutex> lock(q.mutex);
    if (q.queueing) {
      if (q.lines.size() >= kMaxQueuedLines) {
        q.lines.pop_front();
        ++q.dropped;
      }
      q.lines.emplace_back(level, std::string(text, size));
      q.ready.notify_one();
      return;
    }
  }
  writeLogToStandardStreams(static_cast<LogLevel>(level), text, size);
}

inline void setQueueing(bool on) {
  Queue& q = queue();
  const std::lock_guard<std::mutex> lock(q.mutex);
  q.queueing = on;
  q.ready.notify_all();
}

inline void take(double timeoutS,
                 void (*each)(void* context, int level, const char* text, std::size_t size),
                 void* context) {
  Queue& q = queue();
  std::deque<std::pair<int, std::string>> taken;
  std::size_t dropped = 0;
  {
    std::unique_lock<std::mutex> lock(q.mutex);
    q.ready.wait_for(lock, std::chrono::duration<double>(timeoutS),
                     [&q] { return !q.lines.empty(); });
    taken.swap(q.lines);
    std::swap(dropped, q.dropped);
  }
  if (dropped > 0) {
    const std::string note = std::to_string(dropped) + " log lines were dropped: nobody took them";
    each(context, static_cast<int>(LogLevel::kWarning), note.data(), note.size());
  }
  for (const auto& [level, text] : taken) each(context, level, text.data(), text.size());
}

inline const SharedLogApi ownApi{&push, &setQueueing, &take};

/// The process's queue, as the first module imported made it.
inline const SharedLogApi*& sharedApi() {
  static const SharedLogApi* api = nullptr;
  return api;
}

inline void forwardToShared(LogLevel level, const char* text, std::size_t size) {
  sharedApi()->push(static_cast<int>(level), text, size);
}

}  // namespace shared_log_detail

/// Called by each module at import: finds (or creates) the shared queue and sends this
/// module's log lines through it.
inline void connectSharedLog() {
  namespace detail = shared_log_detail;
  pybind11::module_ logging = pybind11::module_::import("epson_remote._logging");
  pybind11::object capsule = logging.attr("_native_sink");
  if (capsule.is_none()) {
    capsule = pybind11::capsule(&detail::ownApi, "epson_remote._logging._native_sink");
    logging.attr("_native_sink") = capsule;
  }
  detail::sharedApi() = capsule.cast<pybind11::capsule>().get_pointer<const SharedLogApi>();
  setLogSink(&detail::forwardToShared);
}

/// The two calls epson_remote._logging makes (defined on one module, acting for all).
inline void defineLogFunctions(pybind11::module_& module) {
  namespace detail = shared_log_detail;
  module.def(
      "_set_log_queueing", [](bool on) { detail::sharedApi()->setQueueing(on); },
      pybind11::arg("on"), "Queue the library's log lines for _take_log_lines (internal).");
  module.def(
      "_take_log_lines",
      [](double timeout_s) {
        std::deque<std::pair<int, std::string>> lines;
        {
          const pybind11::gil_scoped_release release;
          detail::sharedApi()->take(
              timeout_s,
              [](void* context, int level, const char* text, std::size_t size) {
                static_cast<std::deque<std::pair<int, std::string>>*>(context)->emplace_back(
                    level, std::string(text, size));
              },
              &lines);
        }
        pybind11::list result;
        for (const auto& [level, text] : lines) {
          PyObject* decoded = PyUnicode_DecodeUTF8(
              text.data(), static_cast<Py_ssize_t>(text.size()), "backslashreplace");
          if (decoded == nullptr) throw pybind11::error_already_set();
          result.append(
              pybind11::make_tuple(level, pybind11::reinterpret_steal<pybind11::str>(decoded)));
        }
        return result;
      },
      pybind11::arg("timeout_s"),
      "Wait at most timeout_s for queued log lines; return them as (level, text) (internal).");
}

}  // namespace epson::bindings
