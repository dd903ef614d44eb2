// What buffer formats stand for, shared by the containers' exchange and the session's tensors.
#pragma once

#include <complex>
#include <type_traits>

#include "types/Tensor"

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

} // namespace Quelt::Python
