// The one conversion of Python values into typed storage, behind quelt.vector, quelt.matrix,
// quelt.tensor and the session's feeds: Python numbers and strings into elements, buffers of
// any layout and format into elements, nested lists read without deep recursion, and elements
// back into Python objects. Needs no runtime headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include <pybind11/pybind11.h>

#include "buffer_format.hpp"
#include "types/Element.hpp"

namespace Quelt::Python {

// Nested lists deeper than this are refused: no tensor the runtime runs has so many
// dimensions, and a list that holds itself reaches it at once.
inline constexpr size_t maxNesting = 64;

// How refusals are worded: as the containers' exchange words them ("element 1 is str, not a
// real number") or as the session's feeds and quelt.tensor do ("input 'x' expects float32,
// got str").
enum class Wording { Exchange, Feed };

struct Context {
    std::string what; // "input 'x'", "quelt.tensor"; unused by the exchange's wording
    Wording wording;
};

// A buffer's memory as the walk reads it: shape and byte strides of every dimension, filled in
// where the exporter gives none (no strides: C-contiguous; no shape: one dimension).
struct Layout {
    std::vector<int64_t> shape;
    std::vector<ptrdiff_t> strides;
};
Layout layoutOf(const Py_buffer& view);

// A Python value read for conversion: a buffer, raw bytes, or nested lists (a lone scalar is
// rank 0) whose items are held as they were when reading began, so that Python code run by
// one item's conversion cannot change what the others are.
struct Source {
    std::vector<int64_t> shape;
    std::unique_ptr<Buffer> buffer;        // a buffer's or raw bytes' view
    Layout layout;                         // the buffer's
    const ElementInfo* format = nullptr;   // a buffer's element type; nullptr: raw bytes
    std::vector<pybind11::object> leaves;  // nested lists' items, row-major
};

// An int, or a value with __index__ (refused first by the caller if it must not be one), read as
// a long long; `overflow` is +1 or -1 where it lies beyond, as PyLong_AsLongLongAndOverflow
// says, and `index` is the int itself for a wider read. What __index__ raises passes through.
struct IndexValue {
    pybind11::object index;
    long long value;
    int overflow;
};
IndexValue indexValue(PyObject* item);

// True for a Python number of any kind (bool, int, float, complex and values registered as
// numbers.Number), which converts as a number even where it also exports a buffer.
bool isNumber(pybind11::handle value);

// Nested lists and tuples of scalars, or one scalar. ValueError for ragged or too deep lists.
// `rank`: the items at that depth are the values, whatever they are (the containers' rows).
Source readNested(pybind11::handle value, const Context& context, std::optional<size_t> rank = std::nullopt);
// A buffer's elements, as its format says (TypeError naming it for a format of no element type).
Source readBuffer(std::unique_ptr<Buffer> buffer, const Context& context);
// bytes or bytearray as raw little-endian elements of `code` (ValueError when the byte count
// is not a whole number of them).
Source readRaw(std::unique_ptr<Buffer> buffer, ElementCode code, const Context& context);

// The element type nested lists make without a dtype: bool < int64 < float64 < complex128, or
// string; `containers`: float64 or complex128 alone.
ElementCode inferredCode(const Source& source, const Context& context, bool containers);

// Where converted elements go: memory with byte strides per dimension of the source's shape,
// and for strings the setter of the element at a row-major index.
struct Target {
    ElementCode code;
    char* data;
    std::vector<ptrdiff_t> strides;
    std::function<void(size_t, std::string_view)> setString;
};
std::vector<ptrdiff_t> rowMajorByteStrides(const std::vector<int64_t>& shape, size_t itemsize);

// Converts every element of `source` into `target`; the caller's own exceptions pass through.
void fill(const Source& source, const Target& target, const Context& context);

// One element as a new Python object (nullptr with the error set); bools are read as bytes,
// since stored data may hold values other than 0 and 1, which no C++ bool may.
template <typename T>
PyObject* toPython(const void* element)
{
    T value;
    std::memcpy(&value, element, sizeof(T));
    if constexpr (std::is_same_v<T, bool>) {
        uint8_t byte;
        std::memcpy(&byte, element, 1);
        return PyBool_FromLong(byte != 0);
    } else if constexpr (ElementOf<T>::kind == ElementKind::Complex) {
        return PyComplex_FromDoubles(value.real(), value.imag());
    } else if constexpr (std::is_same_v<T, Float16> || std::is_same_v<T, BFloat16>) {
        return PyFloat_FromDouble(value.toDouble());
    } else if constexpr (ElementOf<T>::kind == ElementKind::Real) {
        return PyFloat_FromDouble(value);
    } else if constexpr (ElementOf<T>::kind == ElementKind::Signed) {
        return PyLong_FromLongLong(value);
    } else {
        return PyLong_FromUnsignedLongLong(value);
    }
}

// The numeric element of type `code` at `element` as a Python object.
pybind11::object elementToPython(ElementCode code, const void* element);
// A string element: the bytes it holds, decoded with surrogate escapes, so that it feeds back
// as the same bytes.
pybind11::object stringToPython(std::string_view text);

} // namespace Quelt::Python
