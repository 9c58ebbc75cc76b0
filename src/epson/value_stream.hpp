// Strict reading of numbers from controller output: a classic-locale stream, and the check that
// nothing but blanks follows the last value.
#pragma once

#include <istream>
#include <locale>
#include <sstream>
#include <string>

namespace epson::reply {

/// A stream over `text` that reads numbers with "." as decimal point whatever the global locale.
inline std::istringstream classicInput(const std::string& text) {
  std::istringstream stream(text);
  stream.imbue(std::locale::classic());
  return stream;
}

/// True when only white space is left in a stream whose reads so far succeeded.
inline bool onlyBlanksLeft(std::istream& stream) {
  if (stream.fail()) return false;
  if (stream.eof()) return true;
  stream >> std::ws;
  return stream.eof();
}

}  // namespace epson::reply
