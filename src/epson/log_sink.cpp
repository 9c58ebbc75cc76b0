#include "epson/log_sink.hpp"

#include <atomic>
#include <cstdio>

namespace epson {

namespace {

std::atomic<LogSink> installedSink{nullptr};

}  // namespace

void setLogSink(LogSink sink) {
  installedSink.store(sink);
}

void writeLog(LogLevel level, const std::string& text) {
  const LogSink sink = installedSink.load();
  if (sink != nullptr) {
    sink(level, text.data(), text.size());
  } else {
    writeLogToStandardStreams(level, text.data(), text.size());
  }
}

void writeLogToStandardStreams(LogLevel level, const char* text, std::size_t size) {
  std::FILE* const stream = level == LogLevel::kInfo ? stdout : stderr;
  std::string line(text, size);
  line.push_back('\n');
  std::fwrite(line.data(), 1, line.size(), stream);
  std::fflush(stream);
}

}  // namespace epson
