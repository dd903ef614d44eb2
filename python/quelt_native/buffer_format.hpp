// Buffers as quelt._native reads them, for the containers' exchange and the session's tensors:
// held while they are read, and what their formats stand for.
#pragma once

#include <complex>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include <pybind11/pybind11.h>

#include "onnx/Tensor.hpp"

namespace Quelt::Python {

// The runtime's element type of a container's elements; its name and buffer format are in
// Onnx::elementTypes.
template <typename T>
constexpr ONNXTensorElementDataType elementTypeOf()
{
    if constexpr (std::is_same_v<T, float>) {
        return ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT;
    } else if constexpr (std::is_same_v<T, double>) {
        return ONNX_TENSOR_ELEMENT_DATA_TYPE_DOUBLE;
    } else if constexpr (std::is_same_v<T, std::complex<float>>) {
        return ONNX_TENSOR_ELEMENT_DATA_TYPE_COMPLEX64;
    } else {
        static_assert(std::is_same_v<T, std::complex<double>>, "not a container element type");
        return ONNX_TENSOR_ELEMENT_DATA_TYPE_COMPLEX128;
    }
}

// A buffer's format: the kind of number its letter names, at the width its item size gives,
// since native formats ('l', 'L', 'n') differ in size between platforms and from their
// standard sizes ('<l').
struct BufferFormat {
    enum class Kind { None, Signed, Unsigned, Bool, Real, Complex };

    std::string text;   // as given; "B" where the exporter gives none, as the protocol says
    std::string code;   // without its byte-order prefix
    bool bigEndian;     // '>' or '!'
    Kind kind;          // None: the letters name no number
    // The element type of that kind and width; none for a size the kind does not come in.
    std::optional<ONNXTensorElementDataType> type;
};

inline BufferFormat parseBufferFormat(const char* format, Py_ssize_t itemsize)
{
    using Kind = BufferFormat::Kind;
    BufferFormat parsed{format ? format : "B", {}, false, Kind::None, std::nullopt};
    std::string_view code = parsed.text;
    if (!code.empty() && std::string_view("@=<>!").find(code[0]) != std::string_view::npos) {
        parsed.bigEndian = code[0] == '>' || code[0] == '!';
        code.remove_prefix(1);
    }
    parsed.code = code;
    // The one of `types` whose size in the element table is the item size.
    auto sized = [&](Kind kind, std::initializer_list<ONNXTensorElementDataType> types) {
        parsed.kind = kind;
        for (ONNXTensorElementDataType type : types) {
            if (static_cast<Py_ssize_t>(Onnx::findElementType(type)->size()) == itemsize) {
                parsed.type = type;
            }
        }
    };
    const auto in = [&](std::string_view letters) {
        return code.size() == 1 && letters.find(code[0]) != std::string_view::npos;
    };
    if (code == "Zf" || code == "Zd") {
        sized(Kind::Complex, {ONNX_TENSOR_ELEMENT_DATA_TYPE_COMPLEX64, ONNX_TENSOR_ELEMENT_DATA_TYPE_COMPLEX128});
    } else if (in("efd")) {
        sized(Kind::Real, {ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT16, ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT,
                           ONNX_TENSOR_ELEMENT_DATA_TYPE_DOUBLE});
    } else if (in("bhilqn")) {
        sized(Kind::Signed, {ONNX_TENSOR_ELEMENT_DATA_TYPE_INT8, ONNX_TENSOR_ELEMENT_DATA_TYPE_INT16,
                             ONNX_TENSOR_ELEMENT_DATA_TYPE_INT32, ONNX_TENSOR_ELEMENT_DATA_TYPE_INT64});
    } else if (in("BHILQN")) {
        sized(Kind::Unsigned, {ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT8, ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT16,
                               ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT32, ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT64});
    } else if (code == "?") {
        sized(Kind::Bool, {ONNX_TENSOR_ELEMENT_DATA_TYPE_BOOL});
    }
    return parsed;
}

// A buffer held while it is read. A feed that the runtime reads in place takes the view over
// (and clears `held`): the run's keeper releases it.
struct Buffer {
    std::unique_ptr<Py_buffer> view = std::make_unique<Py_buffer>();
    bool held = false;
    ~Buffer()
    {
        if (held) {
            PyBuffer_Release(view.get());
        }
    }
};

// `value`'s buffer, or nothing if it exports none.
inline std::unique_ptr<Buffer> bufferOf(pybind11::handle value)
{
    if (!PyObject_CheckBuffer(value.ptr())) {
        return nullptr;
    }
    auto buffer = std::make_unique<Buffer>();
    if (PyObject_GetBuffer(value.ptr(), buffer->view.get(), PyBUF_RECORDS_RO) != 0) {
        throw pybind11::error_already_set();
    }
    buffer->held = true;
    return buffer;
}

} // namespace Quelt::Python
