// quelt.Tensor and the conversion of Python values into runtime values, shared by the session
// runner and quelt.tensor.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/container/small_vector.hpp>
#include <pybind11/pybind11.h>

#include "buffer_format.hpp"
#include "casters.hpp"
#include "onnx/Session.hpp"
#include "onnx/Tensor.hpp"

// quelt.Tensor.__new__ makes an instance without a tensor: methods refuse it.
template <>
class pybind11::detail::type_caster<Quelt::Onnx::Tensor> : public Quelt::Python::ContainerCaster<Quelt::Onnx::Tensor> {};

namespace Quelt::Python {

using TensorPtr = std::shared_ptr<Onnx::Tensor>;

// Everything a run's feeds rest on: the buffers exported to it, the objects and storage
// whose memory it reads, and the values made for it. Destroyed with the interpreter lock held.
class FeedKeeper {
public:
    FeedKeeper() = default;
    FeedKeeper(const FeedKeeper&) = delete;
    FeedKeeper& operator=(const FeedKeeper&) = delete;
    ~FeedKeeper();

    // Memory that a feed reads in place: a result found inside it must be copied out.
    void borrow(const void* data, size_t bytes);
    bool overlaps(const void* data, size_t bytes) const;

    const OrtValue* keep(Ort::Value value);
    // A tensor made for the run, fed as `type` (its own, or bfloat16 for uint16 bits).
    const OrtValue* keepTensor(const TensorPtr& tensor, ONNXTensorElementDataType type);
    // Inline for the few feeds of a typical call: no allocation per call.
    boost::container::small_vector<std::unique_ptr<Buffer>, 4> buffers;
    boost::container::small_vector<std::shared_ptr<void>, 4> owners;

private:
    boost::container::small_vector<Ort::Value, 4> m_values;
    boost::container::small_vector<std::pair<const char*, size_t>, 4> m_borrowed;
};

// A runtime value for `value` as declared by `type`; `what` names it in the messages
// ("input 'x'"). Everything it rests on goes into `keeper`.
const OrtValue* feedValue(pybind11::handle value, const Onnx::TypeDesc& type, const std::string& what,
                          FeedKeeper& keeper);

// An owning tensor copied from any feed value; without `element`, the value decides.
TensorPtr tensorFrom(pybind11::handle value, std::optional<ONNXTensorElementDataType> element,
                     const std::string& what);

// A run's result: a quelt.Tensor, a list of results, a dict, or None for an absent value.
// Tensors that lie inside fed memory are copied out of it.
pybind11::object resultOf(Ort::Value value, const FeedKeeper& keeper);

// "(batch, 3, None)"
std::string shapeText(const std::vector<int64_t>& dims, const std::vector<std::string>& symbols = {});

void registerTensor(pybind11::module_& m);

// ---- shared by the feeds, the results and the Tensor class (feeds.cpp, results.cpp, tensor.cpp) ----
namespace tensors {

// quelt.Tensor's type, looked up once when it is registered: every feed is tested against it.
extern pybind11::detail::type_info* tensorType;

// The tensor a quelt.Tensor holds, or nullptr for any other object.
const TensorPtr* tensorOf(pybind11::handle value);

[[noreturn]] inline void typeError(const std::string& text) { throw pybind11::type_error(text); }
[[noreturn]] inline void valueError(const std::string& text) { throw pybind11::value_error(text); }
inline std::string nameOf(ONNXTensorElementDataType type) { return Onnx::elementName(type); }

// bfloat16 has no format of its own: its raw bits come and go as uint16.
bool typeAccepts(ONNXTensorElementDataType expected, ONNXTensorElementDataType given);
void checkType(const std::string& what, ONNXTensorElementDataType expected, ONNXTensorElementDataType given);

// The element type a buffer's format stands for; TypeError naming `what` for any other.
ONNXTensorElementDataType bufferType(const Py_buffer& view, const std::string& what);
// A tensor of `type` and `shape` holding `source`'s elements, which are as many and as large.
TensorPtr copyOfTensor(const Onnx::Tensor& source, ONNXTensorElementDataType type, std::vector<int64_t> shape);

// One element as a Python object.
pybind11::object elementObject(const Onnx::Tensor& tensor, size_t index);

} // namespace tensors

} // namespace Quelt::Python
