// Where the library's log lines go. By default they are written to the standard streams as
// whole lines ("Connected to ..." to standard output, failures to standard error); a host that
// wants them elsewhere (the Python bindings: its logging) installs a sink of its own.
#pragma once

#include <cstddef>
#include <string>

namespace epson {

/// The level of a line, in Python logging's numbers.
enum class LogLevel : int {
  kInfo = 20,     // "Connected to", "Disconnected from"
  kWarning = 30,  // a failure reported and swallowed, a retry, a line skipped
  kError = 40,    // a failure reported and then thrown
};

/// Receives each line, without its line end. Called on the thread that logs, which may hold the
/// session's locks: a sink must never wait for anything such a thread could be waiting for.
using LogSink = void (*)(LogLevel level, const char* text, std::size_t size);

/// Installs `sink` for every later line (nullptr: the standard streams again).
void setLogSink(LogSink sink);

/// Hands `text` to the installed sink.
void writeLog(LogLevel level, const std::string& text);

/// The default sink: the line and a line end to standard output (info) or standard error,
/// in one write and flushed, so that lines of several threads never interleave.
void writeLogToStandardStreams(LogLevel level, const char* text, std::size_t size);

}  // namespace epson
