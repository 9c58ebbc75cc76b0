#include <pybind11/pybind11.h>
PYBIND11_MODULE(_robot_cell, m, pybind11::multiple_interpreters::not_supported()) { m.doc() = "placeholder"; }
