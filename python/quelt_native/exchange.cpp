// Zero-copy exchange of container and model tensor memory, copies in and out of the
// containers without a Python call per element, and the BLAS thread count.
#include <cblas.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include <boost/hana.hpp>

#include "buffer_exporter.hpp"
#include "buffer_format.hpp"
#include "registration.hpp"
#include "type_name.hpp"
#include "types.hpp"
#include "types/Model.hpp"

namespace py = pybind11;

namespace Quelt::Python {
namespace {

template <typename T>
std::string dtypeName()
{
    return Onnx::elementName(elementTypeOf<T>());
}

// Calls f with the element type named by one of the letters s d c z.
template <typename F>
decltype(auto) withElementType(char letter, F&& f)
{
    switch (letter) {
    case 's': return f(hana::type_c<float>);
    case 'd': return f(hana::type_c<double>);
    case 'c': return f(hana::type_c<std::complex<float>>);
    case 'z': return f(hana::type_c<std::complex<double>>);
    default: throw py::value_error(std::string("unknown element type letter '") + letter + "'");
    }
}

// ---------------------------------------------------------------------------------------------
// Memory export.

template <typename C>
py::object containerMemory(const C& c)
{
    using T = typename C::SampleType;
    const auto itemsize = static_cast<Py_ssize_t>(sizeof(T));
    std::vector<Py_ssize_t> shape, strides;
    if constexpr (isMatrix<C>) {
        const auto rows = static_cast<Py_ssize_t>(c.template dim<0>());
        shape = {rows, static_cast<Py_ssize_t>(c.template dim<1>())};
        strides = {itemsize, rows * itemsize};
    } else {
        shape = {static_cast<Py_ssize_t>(c.numel())};
        strides = {itemsize};
    }
    return exportMemory(c.m_data, py::object(), c.get(), itemsize, Onnx::findElementType(elementTypeOf<T>())->format,
                        std::move(shape), std::move(strides));
}

// The table's buffer format and item size of a model tensor's elements, and bytes for the
// 8-bit float formats, which the buffer protocol cannot name. A null format: no numeric memory
// (strings, and types the table does not know).
std::pair<const char*, Py_ssize_t> tensorFormat(ONNXTensorElementDataType type)
{
    if (const Onnx::ElementType* entry = Onnx::findElementType(type)) {
        return {entry->format, static_cast<Py_ssize_t>(entry->size())};
    }
    // Outside the table, only the 8-bit float formats have a size.
    if (Onnx::elementSize(type) == 1) {
        return {"B", 1};
    }
    return {nullptr, 0};
}

// One memoryview per input or output tensor, each holding a reference to the model object.
py::list modelTensors(py::object modelObject, bool outputs)
{
    auto& model = modelObject.cast<Onnx::Model&>();
    const size_t count = outputs ? model.outputCount() : model.inputCount();
    py::list views;
    for (size_t i = 0; i < count; ++i) {
        Ort::Value& value = outputs ? model.outputTensor(i) : model.inputTensor(i);
        std::pair<const char*, Py_ssize_t> element{nullptr, 0};
        if (value && value.IsTensor()) {
            element = tensorFormat(value.GetTensorTypeAndShapeInfo().GetElementType());
        }
        const auto [format, itemsize] = element;
        if (format == nullptr) {
            views.append(py::none());
            continue;
        }
        const std::vector<int64_t> dims = value.GetTensorTypeAndShapeInfo().GetShape();
        std::vector<Py_ssize_t> shape(dims.begin(), dims.end());
        std::vector<Py_ssize_t> strides = rowMajorStrides(shape, itemsize);
        views.append(exportMemory(nullptr, modelObject, value.GetTensorMutableRawData(), itemsize, format,
                                  std::move(shape), std::move(strides)));
    }
    return views;
}

// ---------------------------------------------------------------------------------------------
// Copies out.

template <typename T>
PyObject* toPython(T value)
{
    if constexpr (isComplex<T>) {
        return PyComplex_FromDoubles(value.real(), value.imag());
    } else {
        return PyFloat_FromDouble(value);
    }
}

template <typename T>
py::list listOf(const T* data, size_t n, size_t stride)
{
    py::list result(n);
    for (size_t i = 0; i < n; ++i) {
        PyObject* item = toPython(data[i * stride]);
        if (item == nullptr) {
            throw py::error_already_set();
        }
        PyList_SET_ITEM(result.ptr(), static_cast<Py_ssize_t>(i), item);
    }
    return result;
}

template <typename C>
py::list toList(const C& c)
{
    if constexpr (isMatrix<C>) {
        const size_t rows = c.template dim<0>(), cols = c.template dim<1>();
        py::list result(rows);
        for (size_t i = 0; i < rows; ++i) {
            PyList_SET_ITEM(result.ptr(), static_cast<Py_ssize_t>(i), listOf(c.get() + i, cols, rows).release().ptr());
        }
        return result;
    } else {
        return listOf(c.get(), c.numel(), 1);
    }
}

// ---------------------------------------------------------------------------------------------
// Copies in from buffers.

// A bool buffer's bytes, read as bytes: any nonzero byte is true.
struct Flag {
    uint8_t byte;
};

template <typename S>
inline constexpr bool isComplexSource = std::is_same_v<S, std::complex<float>> || std::is_same_v<S, std::complex<double>>;

// Converts one source element; false when a finite value does not fit the target's range.
template <typename T, typename S>
inline bool convertElement(S source, T& target)
{
    if constexpr (std::is_same_v<S, T>) {
        target = source;
        return true;
    } else if constexpr (std::is_same_v<S, Ort::Float16_t>) {
        target = static_cast<T>(source.ToFloat());
        return true;
    } else if constexpr (std::is_same_v<S, Flag>) {
        target = static_cast<T>(source.byte != 0 ? 1 : 0);
        return true;
    } else if constexpr (isComplexSource<S>) {
        // Real targets are refused before any element is read.
        using R = typename T::value_type;
        target = T(static_cast<R>(source.real()), static_cast<R>(source.imag()));
        if constexpr (std::is_same_v<R, float> && std::is_same_v<S, std::complex<double>>) {
            return !(std::isfinite(source.real()) && std::isinf(target.real()))
                   && !(std::isfinite(source.imag()) && std::isinf(target.imag()));
        }
        return true;
    } else {
        target = static_cast<T>(source);
        if constexpr (std::is_same_v<S, double>
                      && (std::is_same_v<T, float> || std::is_same_v<T, std::complex<float>>)) {
            return !(std::isfinite(source) && std::isinf(std::real(target)));
        }
        return true;
    }
}

template <typename S>
inline S load(const char* p)
{
    S value;
    std::memcpy(&value, p, sizeof(S));
    return value;
}

std::string position(size_t i, size_t j, bool matrix)
{
    return matrix ? "element (" + std::to_string(i) + ", " + std::to_string(j) + ")"
                  : "element " + std::to_string(i);
}

// dst[i + j * rows] = src[i * s0 + j * s1] (s in bytes), converted.
template <typename T, typename S>
void copyStrided(T* dst, const char* src, size_t rows, size_t cols, Py_ssize_t s0, Py_ssize_t s1, bool matrix)
{
    if constexpr (std::is_same_v<S, T>) {
        const auto item = static_cast<Py_ssize_t>(sizeof(T));
        if (s0 == item && (cols <= 1 || s1 == static_cast<Py_ssize_t>(rows) * item)) {
            if (rows * cols != 0) {
                std::memcpy(dst, src, rows * cols * sizeof(T));
            }
            return;
        }
        if (rows > 1 && cols > 1) {
            // A transpose (a row-major source, most often): element by element it reads one
            // cache line per element of the source. In tiles, the tile's source lines stay in
            // the cache while its columns are written, and each line is fetched once.
            constexpr size_t tile = 32;
            for (size_t jb = 0; jb < cols; jb += tile) {
                const size_t jEnd = std::min(cols, jb + tile);
                for (size_t ib = 0; ib < rows; ib += tile) {
                    const size_t iEnd = std::min(rows, ib + tile);
                    for (size_t j = jb; j < jEnd; ++j) {
                        const char* column = src + static_cast<Py_ssize_t>(j) * s1;
                        T* out = dst + j * rows;
                        for (size_t i = ib; i < iEnd; ++i) {
                            out[i] = load<T>(column + static_cast<Py_ssize_t>(i) * s0);
                        }
                    }
                }
            }
            return;
        }
    }
    for (size_t j = 0; j < cols; ++j) {
        const char* column = src + static_cast<Py_ssize_t>(j) * s1;
        for (size_t i = 0; i < rows; ++i) {
            if (!convertElement(load<S>(column + static_cast<Py_ssize_t>(i) * s0), dst[i + j * rows])) {
                throw py::value_error(position(i, j, matrix) + " of the buffer is out of range for "
                                      + dtypeName<T>());
            }
        }
    }
}

// A buffer's elements: bytes, which are the elements' own bytes, or numbers of `type`.
struct Source {
    bool bytes;
    ONNXTensorElementDataType type;
    std::string format;
};

Source parseFormat(const char* format, Py_ssize_t itemsize)
{
    const BufferFormat parsed = parseBufferFormat(format, itemsize);
    if (parsed.bigEndian) {
        throw py::type_error("buffer format '" + parsed.text + "' is big-endian; only native byte order is read");
    }
    // Characters are bytes here too.
    const bool bytes = parsed.code == "B" || parsed.code == "c";
    if (!bytes && parsed.kind == BufferFormat::Kind::None) {
        throw py::type_error("buffer format '" + parsed.text + "' is not a format of numbers");
    }
    if (bytes ? itemsize != 1 : !parsed.type) {
        throw py::type_error("buffer format '" + parsed.text + "' with items of " + std::to_string(itemsize)
                             + " bytes is not a format of numbers");
    }
    return {bytes, parsed.type.value_or(ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT8), parsed.text};
}

bool isComplexElement(ONNXTensorElementDataType type)
{
    return type == ONNX_TENSOR_ELEMENT_DATA_TYPE_COMPLEX64 || type == ONNX_TENSOR_ELEMENT_DATA_TYPE_COMPLEX128;
}

// Calls f with the C++ type of a buffer's numbers; bool is read as bytes.
template <typename F>
void withSourceType(ONNXTensorElementDataType type, F&& f)
{
    switch (type) {
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT8: return f(hana::type_c<uint8_t>);
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT16: return f(hana::type_c<uint16_t>);
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT32: return f(hana::type_c<uint32_t>);
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT64: return f(hana::type_c<uint64_t>);
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT8: return f(hana::type_c<int8_t>);
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT16: return f(hana::type_c<int16_t>);
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT32: return f(hana::type_c<int32_t>);
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT64: return f(hana::type_c<int64_t>);
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_BOOL: return f(hana::type_c<Flag>);
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT16: return f(hana::type_c<Ort::Float16_t>);
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT: return f(hana::type_c<float>);
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_DOUBLE: return f(hana::type_c<double>);
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_COMPLEX64: return f(hana::type_c<std::complex<float>>);
    default: return f(hana::type_c<std::complex<double>>);
    }
}

// The element type a buffer gives without a dtype: only the containers' own four.
char letterOf(const Source& s)
{
    if (s.bytes) {
        throw py::type_error("a buffer of bytes (format '" + s.format
                             + "') needs a dtype: float32, float64, complex64 or complex128");
    }
    switch (s.type) {
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT: return 's';
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_DOUBLE: return 'd';
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_COMPLEX64: return 'c';
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_COMPLEX128: return 'z';
    default:
        throw py::type_error("buffer format '" + s.format
                             + "' is none of the element types float32 (f), float64 (d), complex64 (Zf), "
                               "complex128 (Zd); give a dtype to convert it");
    }
}

py::object fromBuffer(py::handle data, char letter, bool matrix)
{
    const auto buffer = bufferOf(data);
    const Py_buffer& view = *buffer->view;
    const Source source = parseFormat(view.format, view.itemsize);
    if (letter == 0) {
        letter = letterOf(source);
    }
    const int wanted = matrix ? 2 : 1;
    if (view.ndim != wanted) {
        throw py::value_error(std::string(matrix ? "a matrix" : "a vector") + " takes a " + std::to_string(wanted)
                              + "-dimensional buffer, not a " + std::to_string(view.ndim) + "-dimensional one");
    }
    return withElementType(letter, [&](auto t) -> py::object {
        using T = typename decltype(t)::type;
        size_t rows = static_cast<size_t>(view.shape[0]);
        size_t cols = matrix ? static_cast<size_t>(view.shape[1]) : 1;
        const char* src = static_cast<const char*>(view.buf);
        Py_ssize_t s0 = view.strides[0];
        Py_ssize_t s1 = matrix ? view.strides[1] : 0;

        // Bytes are the elements' own bytes: a row of bytes holds a row of elements.
        std::vector<char> contiguous;
        if (source.bytes) {
            const size_t bytes = matrix ? cols : rows;
            if (bytes % sizeof(T) != 0) {
                throw py::value_error(std::string(matrix ? "a row of " : "a buffer of ") + std::to_string(bytes)
                                      + " bytes does not hold a whole number of " + dtypeName<T>() + " elements ("
                                      + std::to_string(sizeof(T)) + " bytes each)");
            }
            contiguous.resize(static_cast<size_t>(view.len));
            if (PyBuffer_ToContiguous(contiguous.data(), buffer->view.get(), view.len, 'C') != 0) {
                throw py::error_already_set();
            }
            src = contiguous.data();
            if (matrix) {
                cols /= sizeof(T);
                s0 = static_cast<Py_ssize_t>(cols * sizeof(T));
            } else {
                rows /= sizeof(T);
            }
            s1 = static_cast<Py_ssize_t>(sizeof(T));
            if (!matrix) {
                s0 = s1;
            }
        }

        if constexpr (!isComplex<T>) {
            if (isComplexElement(source.type)) {
                throw py::type_error("buffer format '" + source.format + "' holds complex numbers; "
                                     + dtypeName<T>() + " holds real ones");
            }
        }
        auto fill = [&](T* dst) {
            if (source.bytes) {
                copyStrided<T, T>(dst, src, rows, cols, s0, s1, matrix);
                return;
            }
            withSourceType(source.type, [&](auto s) {
                using S = typename decltype(s)::type;
                if constexpr (isComplex<T> || !isComplexSource<S>) {
                    copyStrided<T, S>(dst, src, rows, cols, s0, s1, matrix);
                }
            });
        };
        if (matrix) {
            Matrix<T> result(rows, cols, ForOverwrite{});
            fill(result.get());
            return py::cast(std::move(result));
        }
        Vector<T> result(rows, ForOverwrite{});
        fill(result.get());
        return py::cast(std::move(result));
    });
}

// ---------------------------------------------------------------------------------------------
// Copies in from iterables of numbers.

// A list or tuple as it is, anything else iterated into a list.
py::object sequenceOf(py::handle data, const std::string& refusal)
{
    PyObject* sequence = PySequence_Fast(data.ptr(), "");
    if (sequence == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            throw py::type_error(refusal + typeNameOf(data));
        }
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(sequence);
}

template <typename T>
void convertObject(PyObject* item, T& target, const std::string& where)
{
    if constexpr (isComplex<T>) {
        const Py_complex value = PyComplex_AsCComplex(item);
        if (value.real == -1.0 && PyErr_Occurred()) {
            const bool overflow = PyErr_ExceptionMatches(PyExc_OverflowError);
            PyErr_Clear();
            if (overflow) {
                throw py::value_error(where + " is too large for " + dtypeName<T>());
            }
            throw py::type_error(where + " is " + typeNameOf(item) + ", not a number");
        }
        if (!convertElement(std::complex<double>(value.real, value.imag), target)) {
            throw py::value_error(where + " is out of range for " + dtypeName<T>());
        }
    } else {
        if (PyComplex_Check(item)) {
            throw py::type_error(where + " is complex; " + dtypeName<T>() + " holds real numbers");
        }
        const double value = PyFloat_AsDouble(item);
        if (value == -1.0 && PyErr_Occurred()) {
            const bool overflow = PyErr_ExceptionMatches(PyExc_OverflowError);
            PyErr_Clear();
            if (overflow) {
                throw py::value_error(where + " is too large for " + dtypeName<T>());
            }
            throw py::type_error(where + " is " + typeNameOf(item) + ", not a real number");
        }
        if (!convertElement(value, target)) {
            throw py::value_error(where + " is out of range for " + dtypeName<T>());
        }
    }
}

bool anyComplex(PyObject* sequence)
{
    PyObject** items = PySequence_Fast_ITEMS(sequence);
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(sequence); ++i) {
        if (PyComplex_Check(items[i])) {
            return true;
        }
    }
    return false;
}

py::object vectorFromIterable(py::handle data, char letter)
{
    py::object sequence = sequenceOf(data, "vector() takes a buffer or an iterable of numbers, not ");
    if (letter == 0) {
        letter = anyComplex(sequence.ptr()) ? 'z' : 'd';
    }
    return withElementType(letter, [&](auto t) -> py::object {
        using T = typename decltype(t)::type;
        const auto n = static_cast<size_t>(PySequence_Fast_GET_SIZE(sequence.ptr()));
        PyObject** items = PySequence_Fast_ITEMS(sequence.ptr());
        Vector<T> result(n, ForOverwrite{});
        for (size_t i = 0; i < n; ++i) {
            convertObject(items[i], result.get()[i], "element " + std::to_string(i));
        }
        return py::cast(std::move(result));
    });
}

py::object matrixFromRows(py::handle data, char letter)
{
    py::object outer = sequenceOf(data, "matrix() takes a 2-dimensional buffer or a sequence of rows, not ");
    const auto rows = static_cast<size_t>(PySequence_Fast_GET_SIZE(outer.ptr()));
    std::vector<py::object> rowSequences;
    rowSequences.reserve(rows);
    size_t cols = 0;
    bool complexSeen = false;
    for (size_t i = 0; i < rows; ++i) {
        py::handle row = PySequence_Fast_GET_ITEM(outer.ptr(), static_cast<Py_ssize_t>(i));
        rowSequences.push_back(sequenceOf(row, "row " + std::to_string(i) + " is not a sequence of numbers but "));
        const auto length = static_cast<size_t>(PySequence_Fast_GET_SIZE(rowSequences.back().ptr()));
        if (i == 0) {
            cols = length;
        } else if (length != cols) {
            throw py::value_error("row " + std::to_string(i) + " has " + std::to_string(length) + " elements, row 0 has "
                                  + std::to_string(cols));
        }
        complexSeen = complexSeen || anyComplex(rowSequences.back().ptr());
    }
    if (letter == 0) {
        letter = complexSeen ? 'z' : 'd';
    }
    return withElementType(letter, [&](auto t) -> py::object {
        using T = typename decltype(t)::type;
        Matrix<T> result(rows, cols, ForOverwrite{});
        for (size_t i = 0; i < rows; ++i) {
            PyObject** items = PySequence_Fast_ITEMS(rowSequences[i].ptr());
            for (size_t j = 0; j < cols; ++j) {
                convertObject(items[j], result.get()[i + j * rows], position(i, j, true));
            }
        }
        return py::cast(std::move(result));
    });
}

// A new vector or matrix from a buffer, or else from an iterable of numbers or of rows.
template <bool matrix>
py::object copyIn(py::handle data, const py::object& letterArgument)
{
    const char letter = letterArgument.is_none() ? 0 : letterArgument.cast<std::string>().at(0);
    if (PyObject_CheckBuffer(data.ptr())) {
        return fromBuffer(data, letter, matrix);
    }
    return matrix ? matrixFromRows(data, letter) : vectorFromIterable(data, letter);
}

template <typename C>
void defineContainerFunctions(py::module_& m)
{
    m.def("_memory", &containerMemory<C>, py::arg("c"));
    m.def("_tolist", &toList<C>, py::arg("c"));
}

} // namespace

void registerExchange(py::module_& m)
{
    readyExporterType();
    hana::for_each(operationsSet, [&](auto t) {
        using T = typename decltype(t)::type;
        hana::for_each(containerSet<T>, [&](auto c) { defineContainerFunctions<typename decltype(c)::type>(m); });
    });
    m.def("_tensors", &modelTensors, py::arg("m"), py::arg("outputs"));
    m.def("_vector", &copyIn<false>, py::arg("data"), py::arg("letter"));
    m.def("_matrix", &copyIn<true>, py::arg("data"), py::arg("letter"));
    m.def("_blas_threads", [] { return openblas_get_num_threads(); });
    m.def("_set_blas_threads", [](int n) { openblas_set_num_threads(n); }, py::arg("n"));
}

} // namespace Quelt::Python
