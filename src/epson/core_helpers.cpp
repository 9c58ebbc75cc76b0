#include "epson/core_helpers.hpp"

#include <stdexcept>

namespace epson {

void logLine(std::FILE* stream, const std::string& text) {
  const std::string line = text + "\n";
  std::fwrite(line.data(), 1, line.size(), stream);
  std::fflush(stream);
}

void logAndThrow(const std::string& message) {
  logLine(stderr, message);
  throw std::runtime_error(message);
}

}  // namespace epson
