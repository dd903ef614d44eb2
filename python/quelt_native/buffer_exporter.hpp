// Quelt::Python::exportMemory: a writable memoryview over memory that something else owns.
//
// The memoryview exports through a small object of its own, which keeps the memory alive: a
// share of a container's storage (so the view outlives the container, its vector and every
// view onto it) or a reference to the Python object that owns the memory (a model).
#pragma once

#include <memory>
#include <vector>

#include <pybind11/pybind11.h>

namespace Quelt::Python {

// shape and strides (in bytes) have one entry per dimension; `format` must be a string
// literal. Either `storage` or `owner` keeps `data` valid.
pybind11::object exportMemory(std::shared_ptr<void> storage, pybind11::object owner, void* data,
                              Py_ssize_t itemsize, const char* format, std::vector<Py_ssize_t> shape,
                              std::vector<Py_ssize_t> strides);

// Readies the exporter's type; called once at module initialisation.
void readyExporterType();

} // namespace Quelt::Python
