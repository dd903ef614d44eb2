// A run's results as Python objects: quelt.Tensors over the runtime's memory, lists for
// sequences, dicts for maps, None for absent values; and single elements as Python values.
#include "tensor.hpp"

#include <complex>

namespace py = pybind11;

namespace Quelt::Python {

using Onnx::Tensor;
using namespace tensors;

namespace tensors {

py::object elementObject(const Tensor& tensor, size_t index)
{
    const void* data = tensor.data();
    switch (tensor.type()) {
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT: return py::float_(static_cast<const float*>(data)[index]);
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_DOUBLE: return py::float_(static_cast<const double*>(data)[index]);
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT16:
        return py::float_(static_cast<const Ort::Float16_t*>(data)[index].ToFloat());
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_BFLOAT16:
        return py::float_(static_cast<const Ort::BFloat16_t*>(data)[index].ToFloat());
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT8: return py::int_(static_cast<const int8_t*>(data)[index]);
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT8: return py::int_(static_cast<const uint8_t*>(data)[index]);
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT16: return py::int_(static_cast<const int16_t*>(data)[index]);
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT16: return py::int_(static_cast<const uint16_t*>(data)[index]);
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT32: return py::int_(static_cast<const int32_t*>(data)[index]);
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT32: return py::int_(static_cast<const uint32_t*>(data)[index]);
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT64: return py::int_(static_cast<const int64_t*>(data)[index]);
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT64: return py::int_(static_cast<const uint64_t*>(data)[index]);
    // Read as bytes: raw data may hold values other than 0 and 1, which no bool may.
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_BOOL: return py::bool_(static_cast<const uint8_t*>(data)[index] != 0);
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_COMPLEX64: {
        const auto v = static_cast<const std::complex<float>*>(data)[index];
        return py::reinterpret_steal<py::object>(PyComplex_FromDoubles(v.real(), v.imag()));
    }
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_COMPLEX128: {
        const auto v = static_cast<const std::complex<double>*>(data)[index];
        return py::reinterpret_steal<py::object>(PyComplex_FromDoubles(v.real(), v.imag()));
    }
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_STRING: {
        const std::string text = tensor.stringAt(index);
        // Bytes that are not UTF-8 come back as the surrogates that re-encode to them.
        return py::reinterpret_steal<py::object>(PyUnicode_DecodeUTF8(text.data(), Py_ssize_t(text.size()), "surrogateescape"));
    }
    default: throw std::runtime_error("element type " + nameOf(tensor.type()) + " is not supported");
    }
}

} // namespace tensors

namespace {

py::object tensorResult(Ort::Value value, const FeedKeeper& keeper)
{
    auto tensor = std::make_shared<Tensor>(std::move(value));
    // A result the runtime passed through from a feed lies in memory the caller may free or
    // reuse: it is copied out.
    if (tensor->data() && tensor->byteCount() != 0 && keeper.overlaps(tensor->data(), tensor->byteCount())) {
        tensor = copyOfTensor(*tensor, tensor->type(), tensor->shape());
    }
    // Through the type looked up once, not by a hash of its name on every result.
    return py::reinterpret_steal<py::object>(py::detail::type_caster_generic::cast(
        tensor.get(), py::return_value_policy::take_ownership, {}, tensorType, nullptr, nullptr, &tensor));
}

} // namespace

py::object resultOf(Ort::Value value, const FeedKeeper& keeper)
{
    if (!value.HasValue()) {
        return py::none();
    }
    const OrtApi& api = Ort::GetApi();
    ONNXType kind = ONNX_TYPE_UNKNOWN;
    Ort::ThrowOnError(api.GetValueType(value, &kind));
    if (kind == ONNX_TYPE_TENSOR) {
        return tensorResult(std::move(value), keeper);
    }
    Ort::AllocatorWithDefaultOptions allocator;
    if (kind == ONNX_TYPE_SEQUENCE) {
        py::list items;
        for (size_t i = 0, n = value.GetCount(); i < n; ++i) {
            items.append(resultOf(value.GetValue(int(i), allocator), keeper));
        }
        return items;
    }
    if (kind == ONNX_TYPE_MAP) {
        Tensor keys(value.GetValue(0, allocator));
        Tensor values(value.GetValue(1, allocator));
        py::dict map;
        for (size_t i = 0; i < keys.numel(); ++i) {
            map[elementObject(keys, i)] = elementObject(values, i);
        }
        return map;
    }
    throw std::runtime_error("the runtime returned a value of a kind that is not supported");
}

} // namespace Quelt::Python
