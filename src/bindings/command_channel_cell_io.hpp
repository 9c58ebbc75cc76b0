// The CommandChannel methods of a cell's I/O, variables and programs, defined on the class by the
// _command_channel module.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>

#include "epson/command_channel.hpp"

namespace epson::bindings {

void defineCellIo(pybind11::class_<CommandChannel, std::shared_ptr<CommandChannel>>& channel);

}  // namespace epson::bindings
