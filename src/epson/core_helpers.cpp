#include "epson/core_helpers.hpp"

#include <stdexcept>

#include "epson/log_sink.hpp"

namespace epson {

void logLine(std::FILE* stream, const std::string& text) {
  writeLog(stream == stdout ? LogLevel::kInfo : LogLevel::kWarning, text);
}

}  // namespace epson
