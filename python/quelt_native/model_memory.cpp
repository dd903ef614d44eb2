// quelt.inputs and quelt.outputs: memoryviews over a core model's whole tensors.
#include "buffer_exporter.hpp"
#include "casters.hpp"
#include "registration.hpp"
#include "types/Model.hpp"

namespace py = pybind11;

namespace Quelt::Python {
namespace {

// The table's buffer format and item size of a model tensor's elements, and bytes for the
// 8-bit float formats, which the buffer protocol cannot name. A null format: no numeric memory
// (strings, and types the table does not know).
std::pair<const char*, Py_ssize_t> tensorFormat(ONNXTensorElementDataType type)
{
    if (const ElementInfo* entry = findElement(Onnx::elementCode(type))) {
        return {entry->format, static_cast<Py_ssize_t>(entry->size)};
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

} // namespace

void registerModelMemory(py::module_& m) { m.def("_tensors", &modelTensors, py::arg("m"), py::arg("outputs")); }

} // namespace Quelt::Python
