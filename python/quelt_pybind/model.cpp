// The model class: loading an ONNX file, setting input elements, running, reading outputs.
#include "model.hpp"

#include <cstdint>
#include <string>
#include <vector>

#include <pybind11/stl.h>

#include "casters.hpp"
#include "fixed_class.hpp"
#include "types/Model.hpp"

namespace py = pybind11;

namespace Quelt::Python {

void registerModel(py::module_& m)
{
    using Quelt::Onnx::Model;
    Onnx::initApi();

    py::class_<Model> cls(m, "model");
    fixClassOfInstances<Model>(cls);
    cls.def(py::init<const std::string&>())
        .def("run", [](Model& model) { model.run(); })
        .def("set",
             [](Model& model, size_t inputIdx, std::vector<int64_t> tensorIdx, float value) {
                 model.set<float>(inputIdx, tensorIdx, value);
             })
        .def("get", [](Model& model, size_t outputIdx, std::vector<int64_t> tensorIdx) -> float {
            return model.get<float>(outputIdx, tensorIdx);
        });
}

} // namespace Quelt::Python
