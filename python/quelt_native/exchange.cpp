// Zero-copy exchange of container and model tensor memory, copies in and out of the
// containers without a Python call per element, and the BLAS thread count.
#include <cblas.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

#include <boost/hana.hpp>

#include "buffer_exporter.hpp"
#include "casters.hpp"
#include "registration.hpp"
#include "types/Matrix"
#include "types/Model"
#include "types/Vector"
#include "types/VectorView"

namespace py = pybind11;
namespace hana = boost::hana;

namespace Quelt::Python {
namespace {

template <typename T>
inline constexpr bool isComplexType = !std::is_arithmetic_v<T>;

template <typename C>
inline constexpr bool isMatrixType = std::is_same_v<C, Matrix<typename C::SampleType>>;

template <typename T>
const char* formatOf()
{
    if constexpr (std::is_same_v<T, float>) {
        return "f";
    } else if constexpr (std::is_same_v<T, double>) {
        return "d";
    } else if constexpr (std::is_same_v<T, std::complex<float>>) {
        return "Zf";
    } else {
        return "Zd";
    }
}

template <typename T>
const char* dtypeName()
{
    if constexpr (std::is_same_v<T, float>) {
        return "float32";
    } else if constexpr (std::is_same_v<T, double>) {
        return "float64";
    } else if constexpr (std::is_same_v<T, std::complex<float>>) {
        return "complex64";
    } else {
        return "complex128";
    }
}

std::string typeNameOf(py::handle object) { return Py_TYPE(object.ptr())->tp_name; }

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
    if constexpr (isMatrixType<C>) {
        const auto rows = static_cast<Py_ssize_t>(c.template dim<0>());
        shape = {rows, static_cast<Py_ssize_t>(c.template dim<1>())};
        strides = {itemsize, rows * itemsize};
    } else {
        shape = {static_cast<Py_ssize_t>(c.numel())};
        strides = {itemsize};
    }
    return exportMemory(c.m_data, py::object(), c.get(), itemsize, formatOf<T>(), std::move(shape),
                        std::move(strides));
}

// Struct-module formats of the runtime's element types; bfloat16 passes as its bits and the
// 8-bit float formats as bytes. Null: no numeric memory (strings).
const char* tensorFormat(ONNXTensorElementDataType type)
{
    switch (type) {
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT: return "f";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_DOUBLE: return "d";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT16: return "e";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT8: return "b";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT8: return "B";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT16: return "h";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT16: return "H";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT32: return "i";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT32: return "I";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT64: return "q";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT64: return "Q";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_BOOL: return "?";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_COMPLEX64: return "Zf";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_COMPLEX128: return "Zd";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_BFLOAT16: return "H";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT8E4M3FN:
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT8E4M3FNUZ:
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT8E5M2:
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT8E5M2FNUZ: return "B";
    default: return nullptr;
    }
}

Py_ssize_t formatSize(const char* format)
{
    switch (format[0]) {
    case 'Z': return format[1] == 'f' ? 8 : 16;
    case 'd':
    case 'q':
    case 'Q': return 8;
    case 'f':
    case 'i':
    case 'I': return 4;
    case 'e':
    case 'h':
    case 'H': return 2;
    default: return 1;
    }
}

// One memoryview per input or output tensor, each holding a reference to the model object.
py::list modelTensors(py::object modelObject, bool outputs)
{
    auto& model = modelObject.cast<Onnx::Model&>();
    const size_t count = outputs ? model.outputCount() : model.inputCount();
    py::list views;
    for (size_t i = 0; i < count; ++i) {
        Ort::Value& value = outputs ? model.outputTensor(i) : model.inputTensor(i);
        const char* format = nullptr;
        if (value && value.IsTensor()) {
            format = tensorFormat(value.GetTensorTypeAndShapeInfo().GetElementType());
        }
        if (format == nullptr) {
            views.append(py::none());
            continue;
        }
        const std::vector<int64_t> dims = value.GetTensorTypeAndShapeInfo().GetShape();
        const Py_ssize_t itemsize = formatSize(format);
        std::vector<Py_ssize_t> shape(dims.begin(), dims.end());
        std::vector<Py_ssize_t> strides(dims.size());
        Py_ssize_t stride = itemsize;
        for (size_t d = dims.size(); d-- > 0;) {
            strides[d] = stride;
            stride *= shape[d];
        }
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
    if constexpr (isComplexType<T>) {
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
    if constexpr (isMatrixType<C>) {
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

// IEEE half precision, which the buffer protocol spells 'e'.
struct Half {
    uint16_t bits;
};

inline float toFloat(Half h)
{
    const int exponent = (h.bits >> 10) & 0x1f;
    const int mantissa = h.bits & 0x3ff;
    float magnitude;
    if (exponent == 0) {
        magnitude = std::ldexp(static_cast<float>(mantissa), -24);
    } else if (exponent == 31) {
        magnitude = mantissa == 0 ? std::numeric_limits<float>::infinity() : std::numeric_limits<float>::quiet_NaN();
    } else {
        magnitude = std::ldexp(static_cast<float>(mantissa | 0x400), exponent - 25);
    }
    return (h.bits & 0x8000) != 0 ? -magnitude : magnitude;
}

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
    } else if constexpr (std::is_same_v<S, Half>) {
        target = static_cast<T>(toFloat(source));
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

// The element kinds a buffer's format can name.
enum class Kind { Bytes, Signed, Unsigned, Bool, Real, Complex };

struct Source {
    Kind kind;
    Py_ssize_t size;
    std::string format;
};

Source parseFormat(const char* format, Py_ssize_t itemsize)
{
    if (format == nullptr) {
        return {Kind::Bytes, 1, "B"};
    }
    std::string f = format;
    std::string core = f;
    if (!core.empty() && (core[0] == '@' || core[0] == '=' || core[0] == '<')) {
        core.erase(0, 1);
    } else if (!core.empty() && (core[0] == '>' || core[0] == '!')) {
        throw py::type_error("buffer format '" + f + "' is big-endian; only native byte order is read");
    }
    Kind kind;
    if (core == "B" || core == "c") {
        kind = Kind::Bytes;
    } else if (core == "Zf" || core == "Zd") {
        kind = Kind::Complex;
    } else if (core.size() == 1 && std::strchr("bhilqn", core[0]) != nullptr) {
        kind = Kind::Signed;
    } else if (core.size() == 1 && std::strchr("HILQN", core[0]) != nullptr) {
        kind = Kind::Unsigned;
    } else if (core == "?") {
        kind = Kind::Bool;
    } else if (core == "e" || core == "f" || core == "d") {
        kind = Kind::Real;
    } else {
        throw py::type_error("buffer format '" + f + "' is not a format of numbers");
    }
    // The item size decides the width: standard-size formats ('<l') differ from native ones.
    const bool validSize = kind == Kind::Complex ? (itemsize == 8 || itemsize == 16)
                           : kind == Kind::Real  ? (itemsize == 2 || itemsize == 4 || itemsize == 8)
                           : kind == Kind::Bool || kind == Kind::Bytes
                               ? itemsize == 1
                               : (itemsize == 1 || itemsize == 2 || itemsize == 4 || itemsize == 8);
    if (!validSize) {
        throw py::type_error("buffer format '" + f + "' with items of " + std::to_string(itemsize)
                             + " bytes is not a format of numbers");
    }
    return {kind, itemsize, f};
}

template <typename F>
void withSourceType(const Source& s, F&& f)
{
    switch (s.kind) {
    case Kind::Bytes:
    case Kind::Unsigned:
        switch (s.size) {
        case 1: return f(hana::type_c<uint8_t>);
        case 2: return f(hana::type_c<uint16_t>);
        case 4: return f(hana::type_c<uint32_t>);
        default: return f(hana::type_c<uint64_t>);
        }
    case Kind::Signed:
        switch (s.size) {
        case 1: return f(hana::type_c<int8_t>);
        case 2: return f(hana::type_c<int16_t>);
        case 4: return f(hana::type_c<int32_t>);
        default: return f(hana::type_c<int64_t>);
        }
    case Kind::Bool: return f(hana::type_c<Flag>);
    case Kind::Real:
        switch (s.size) {
        case 2: return f(hana::type_c<Half>);
        case 4: return f(hana::type_c<float>);
        default: return f(hana::type_c<double>);
        }
    case Kind::Complex:
        if (s.size == 8) {
            return f(hana::type_c<std::complex<float>>);
        }
        return f(hana::type_c<std::complex<double>>);
    }
}

// The element type a buffer gives without a dtype: only the containers' own four.
char letterOf(const Source& s)
{
    if (s.kind == Kind::Real && s.size == 4) {
        return 's';
    }
    if (s.kind == Kind::Real && s.size == 8) {
        return 'd';
    }
    if (s.kind == Kind::Complex) {
        return s.size == 8 ? 'c' : 'z';
    }
    if (s.kind == Kind::Bytes) {
        throw py::type_error("a buffer of bytes (format '" + s.format
                             + "') needs a dtype: float32, float64, complex64 or complex128");
    }
    throw py::type_error("buffer format '" + s.format
                         + "' is none of the element types float32 (f), float64 (d), complex64 (Zf), "
                           "complex128 (Zd); give a dtype to convert it");
}

struct Buffer {
    Py_buffer view{};
    explicit Buffer(py::handle object)
    {
        if (PyObject_GetBuffer(object.ptr(), &view, PyBUF_RECORDS_RO) != 0) {
            throw py::error_already_set();
        }
    }
    ~Buffer() { PyBuffer_Release(&view); }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
};

py::object fromBuffer(py::handle data, char letter, bool matrix)
{
    Buffer buffer(data);
    const Py_buffer& view = buffer.view;
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
        if (source.kind == Kind::Bytes) {
            const size_t bytes = matrix ? cols : rows;
            if (bytes % sizeof(T) != 0) {
                throw py::value_error(std::string(matrix ? "a row of " : "a buffer of ") + std::to_string(bytes)
                                      + " bytes does not hold a whole number of " + dtypeName<T>() + " elements ("
                                      + std::to_string(sizeof(T)) + " bytes each)");
            }
            contiguous.resize(static_cast<size_t>(view.len));
            if (PyBuffer_ToContiguous(contiguous.data(), &buffer.view, view.len, 'C') != 0) {
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

        if constexpr (!isComplexType<T>) {
            if (source.kind == Kind::Complex) {
                throw py::type_error("buffer format '" + source.format + "' holds complex numbers; "
                                     + dtypeName<T>() + " holds real ones");
            }
        }
        auto fill = [&](T* dst) {
            if (source.kind == Kind::Bytes) {
                copyStrided<T, T>(dst, src, rows, cols, s0, s1, matrix);
                return;
            }
            withSourceType(source, [&](auto s) {
                using S = typename decltype(s)::type;
                if constexpr (isComplexType<T> || !isComplexSource<S>) {
                    copyStrided<T, S>(dst, src, rows, cols, s0, s1, matrix);
                }
            });
        };
        if (matrix) {
            Matrix<T> result(rows, cols);
            fill(result.get());
            return py::cast(std::move(result));
        }
        Vector<T> result(rows);
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
    if constexpr (isComplexType<T>) {
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
        Vector<T> result(n);
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
        Matrix<T> result(rows, cols);
        for (size_t i = 0; i < rows; ++i) {
            PyObject** items = PySequence_Fast_ITEMS(rowSequences[i].ptr());
            for (size_t j = 0; j < cols; ++j) {
                convertObject(items[j], result.get()[i + j * rows], position(i, j, true));
            }
        }
        return py::cast(std::move(result));
    });
}

char letterArgument(const py::object& letter)
{
    return letter.is_none() ? 0 : letter.cast<std::string>().at(0);
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
    hana::for_each(hana::make_tuple(hana::type_c<float>, hana::type_c<double>, hana::type_c<std::complex<float>>,
                                    hana::type_c<std::complex<double>>),
                   [&](auto t) {
                       using T = typename decltype(t)::type;
                       defineContainerFunctions<Vector<T>>(m);
                       defineContainerFunctions<VectorView<T>>(m);
                       defineContainerFunctions<Matrix<T>>(m);
                   });
    m.def("_tensors", &modelTensors, py::arg("m"), py::arg("outputs"));
    m.def(
        "_vector",
        [](py::handle data, py::object letter) {
            const char l = letterArgument(letter);
            return PyObject_CheckBuffer(data.ptr()) ? fromBuffer(data, l, false) : vectorFromIterable(data, l);
        },
        py::arg("data"), py::arg("letter"));
    m.def(
        "_matrix",
        [](py::handle data, py::object letter) {
            const char l = letterArgument(letter);
            return PyObject_CheckBuffer(data.ptr()) ? fromBuffer(data, l, true) : matrixFromRows(data, l);
        },
        py::arg("data"), py::arg("letter"));
    m.def("_blas_threads", [] { return openblas_get_num_threads(); });
    m.def("_set_blas_threads", [](int n) { openblas_set_num_threads(n); }, py::arg("n"));
}

} // namespace Quelt::Python
