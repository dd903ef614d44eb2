// A run's results as Python objects: quelt.Tensors over the runtime's memory, lists for
// sequences, dicts for maps, None for absent values; and single elements as Python values.
#include "tensor.hpp"

#include "convert.hpp"

namespace py = pybind11;

namespace Quelt::Python {

using Onnx::Tensor;
using namespace tensors;

namespace tensors {

py::object elementObject(const Tensor& tensor, size_t index)
{
    if (tensor.isString()) {
        return stringToPython(tensor.stringAt(index));
    }
    return elementToPython(Onnx::elementCode(tensor.type()),
                           static_cast<const char*>(tensor.data()) + index * tensor.itemSize());
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
