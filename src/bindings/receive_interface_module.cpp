#include <pybind11/pybind11.h>
PYBIND11_MODULE(_receive_interface, m, pybind11::multiple_interpreters::not_supported()) { m.doc() = "placeholder"; }
