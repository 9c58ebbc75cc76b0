#include "epson/caller_text.hpp"

#include <stdexcept>

namespace epson {

void checkNoNul(std::string_view text, const std::string& what) {
  if (text.find('\0') != std::string_view::npos) {
    throw std::invalid_argument(what + " must not contain NUL bytes");
  }
}

void checkVerbatimText(std::string_view text, const std::string& what) {
  if (text.find_first_of("\"\r\n") != std::string_view::npos) {
    throw std::invalid_argument(what + " must not contain quotes or line endings");
  }
  checkNoNul(text, what);
}

void checkHost(std::string_view host) {
  if (host.empty()) throw std::invalid_argument("Controller host must not be empty");
  checkNoNul(host, "Controller host");
}

}  // namespace epson
