// Python values into runtime values: the feeds of a run and the data of quelt.tensor, from
// scalars, nested lists, buffers, the core's containers and quelt.Tensors.
#include "tensor.hpp"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <limits>

#include "buffer_format.hpp"
#include "casters.hpp"
#include "convert.hpp"
#include "strings.hpp"
#include "type_name.hpp"

namespace py = pybind11;

namespace Quelt::Python {

using Onnx::Tensor;
using Onnx::TypeDesc;
using namespace tensors;

namespace tensors {

// The tensor a quelt.Tensor holds, or nullptr for any other object.
const TensorPtr* tensorOf(py::handle value)
{
    if (!tensorType || !PyObject_TypeCheck(value.ptr(), tensorType->type)) {
        return nullptr;
    }
    refuseUninitialised(value, tensorType);
    return &reinterpret_cast<py::detail::instance*>(value.ptr())->get_value_and_holder(tensorType).holder<TensorPtr>();
}

bool typeAccepts(ONNXTensorElementDataType expected, ONNXTensorElementDataType given)
{
    return expected == given
           || (expected == ONNX_TENSOR_ELEMENT_DATA_TYPE_BFLOAT16 && given == ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT16);
}

void checkType(const std::string& what, ONNXTensorElementDataType expected, ONNXTensorElementDataType given)
{
    if (!typeAccepts(expected, given)) {
        typeError(what + " expects " + nameOf(expected) + ", got " + nameOf(given));
    }
}

} // namespace tensors

namespace {

bool isNested(py::handle item) { return PyList_Check(item.ptr()) || PyTuple_Check(item.ptr()); }

Context feedContext(const std::string& what) { return {what, Wording::Feed}; }

// A tensor of `source`'s shape holding its elements converted to `type`.
TensorPtr tensorFromSource(const Source& source, ONNXTensorElementDataType type, const std::string& what)
{
    if (!Onnx::findElementType(type)) {
        typeError(what + " has element type " + nameOf(type) + ", which is not supported");
    }
    // fill writes every element (or throws, and the tensor goes).
    auto tensor = std::make_shared<Tensor>(type, source.shape, ForOverwrite{});
    Tensor& target = *tensor;
    fill(source,
         {Onnx::elementCode(type), static_cast<char*>(target.data()), rowMajorByteStrides(source.shape, target.itemSize()),
          [&target](size_t index, std::string_view text) { target.setString(index, text); }},
         feedContext(what));
    return tensor;
}

TensorPtr tensorFromNested(py::handle value, std::optional<ONNXTensorElementDataType> element, const std::string& what)
{
    const Source source = readNested(value, feedContext(what));
    return tensorFromSource(source, element ? *element : Onnx::onnxType(inferredCode(source, feedContext(what), false)), what);
}

// A number's own buffer (NumPy's scalars export 0-d ones) is not what it stands for.
std::unique_ptr<Buffer> bufferUnlessNumber(py::handle value)
{
    auto buffer = bufferOf(value);
    if (buffer && buffer->view.ndim == 0 && isNumber(value)) {
        return nullptr;
    }
    return buffer;
}

} // namespace

namespace tensors {

// ---- buffers ----

ONNXTensorElementDataType bufferType(const Py_buffer& view, const std::string& what)
{
    if (isStringFormat(view)) {
        return ONNX_TENSOR_ELEMENT_DATA_TYPE_STRING;
    }
    const BufferFormat format = parseBufferFormat(view.format, view.itemsize);
    if (!format.element) {
        typeError(what + ": buffer format '" + format.text + "' is not an element type the runtime knows");
    }
    return Onnx::onnxType(format.element->code);
}

// A copy of a buffer's elements as `type` (bfloat16 from its raw bits), in row-major order.
TensorPtr copyOfBuffer(Source source, ONNXTensorElementDataType type, const std::string& what)
{
    if (!source.buffer) { // strings, read into leaves
        checkType(what, type, ONNX_TENSOR_ELEMENT_DATA_TYPE_STRING);
    } else if (type == ONNX_TENSOR_ELEMENT_DATA_TYPE_BFLOAT16 && source.format->code == ElementCode::UInt16) {
        auto tensor = tensorFromSource(source, ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT16, what);
        return copyOfTensor(*tensor, type, tensor->shape());
    }
    return tensorFromSource(source, type, what);
}

// A tensor of `type` and `shape` holding `source`'s elements, which are as many and as large.
TensorPtr copyOfTensor(const Tensor& source, ONNXTensorElementDataType type, std::vector<int64_t> shape)
{
    auto copy = std::make_shared<Tensor>(type, std::move(shape));
    if (source.isString()) {
        for (size_t i = 0; i < source.numel(); ++i) {
            copy->setString(i, source.stringAt(i));
        }
    } else if (copy->byteCount()) {
        std::memcpy(copy->data(), source.data(), copy->byteCount());
    }
    return copy;
}

} // namespace tensors

namespace {

// ---- the core's containers ----

// A container's elements: shared storage for a vector or view, a row-major copy of a matrix.
struct ContainerData {
    ONNXTensorElementDataType type;
    std::vector<int64_t> shape;
    std::shared_ptr<void> owner;
    void* data;
};

template <typename T>
std::optional<ContainerData> containerDataOf(py::handle value)
{
    if (py::isinstance<Vector<T>>(value)) {
        auto& v = value.cast<Vector<T>&>();
        return ContainerData{Onnx::onnxType(elementCodeOf<T>), {int64_t(v.numel())}, v.m_data, v.get()};
    }
    if (py::isinstance<VectorView<T>>(value)) {
        auto& v = value.cast<VectorView<T>&>();
        return ContainerData{Onnx::onnxType(elementCodeOf<T>), {int64_t(v.numel())}, v.m_data, v.get()};
    }
    if (py::isinstance<Matrix<T>>(value)) {
        auto& a = value.cast<Matrix<T>&>();
        const size_t rows = a.template dim<0>(), cols = a.template dim<1>();
        auto copy = std::make_shared<Tensor>(Onnx::onnxType(elementCodeOf<T>), std::vector<int64_t>{int64_t(rows), int64_t(cols)});
        T* target = static_cast<T*>(copy->data());
        const T* source = a.get();
        for (size_t i = 0; i < rows; ++i) {
            for (size_t j = 0; j < cols; ++j) {
                target[i * cols + j] = source[i + j * rows];
            }
        }
        return ContainerData{Onnx::onnxType(elementCodeOf<T>), copy->shape(), copy, copy->data()};
    }
    return std::nullopt;
}

std::optional<ContainerData> containerData(py::handle value)
{
    if (auto found = containerDataOf<float>(value)) return found;
    if (auto found = containerDataOf<double>(value)) return found;
    if (auto found = containerDataOf<std::complex<float>>(value)) return found;
    return containerDataOf<std::complex<double>>(value);
}

// ---- checks against the declared type ----

void checkShape(const std::string& what, const TypeDesc& type, const std::vector<int64_t>& given)
{
    if (!type.rankKnown) {
        return;
    }
    // The runtime feeds a one-element tensor of shape (1,) or (1, 1) to a scalar input.
    if (type.dims.empty() && given.size() <= 2 && std::all_of(given.begin(), given.end(), [](int64_t d) { return d == 1; })) {
        return;
    }
    bool fits = given.size() == type.dims.size();
    for (size_t i = 0; fits && i < given.size(); ++i) {
        fits = type.dims[i] < 0 || type.dims[i] == given[i];
    }
    if (!fits) {
        valueError(what + " expects shape " + shapeText(type.dims, type.symbols) + ", got " + shapeText(given));
    }
}

const OrtValue* feedTensor(py::handle value, const TypeDesc& type, const std::string& what, FeedKeeper& keeper)
{
    if (const TensorPtr* held = tensorOf(value)) {
        const TensorPtr& tensor = *held;
        checkType(what, type.element, tensor->type());
        checkShape(what, type, tensor->shape());
        keeper.owners.push_back(tensor);
        if (tensor->data()) {
            keeper.borrow(tensor->data(), tensor->byteCount());
        }
        if (tensor->type() != type.element) {
            // uint16 bits fed to a bfloat16 input
            return keeper.keep(Tensor::wrap(type.element, tensor->data(), tensor->byteCount(), tensor->shape()));
        }
        std::optional<Ort::Value> made;
        const OrtValue* fed = tensor->feedValue(made);
        return made ? keeper.keep(std::move(*made)) : fed;
    }
    if (auto buffer = bufferUnlessNumber(value)) {
        const Py_buffer& view = buffer->view;
        const ONNXTensorElementDataType given = bufferType(view, what);
        checkType(what, type.element, given);
        if (given == ONNX_TENSOR_ELEMENT_DATA_TYPE_STRING || !PyBuffer_IsContiguous(&view, 'C')) {
            Source source = readBuffer(std::move(buffer), feedContext(what));
            checkShape(what, type, source.shape);
            return keeper.keepTensor(copyOfBuffer(std::move(source), type.element, what), type.element);
        }
        // Bound in place, read-only memory too: the runtime does not write its inputs. Read
        // straight from the view: the conversion's reading is for the copies above.
        const std::vector<int64_t> shape(view.shape, view.shape + (view.shape ? view.ndim : 0));
        checkShape(what, type, shape);
        const OrtValue* fed = keeper.keep(Tensor::wrap(type.element, view.buf, size_t(view.len), shape));
        keeper.borrow(view.buf, size_t(view.len));
        keeper.buffers.push_back(std::move(buffer));
        return fed;
    }
    if (auto container = containerData(value)) {
        checkType(what, type.element, container->type);
        checkShape(what, type, container->shape);
        keeper.owners.push_back(container->owner);
        const size_t bytes = Onnx::elementCount(container->shape) * Onnx::findElementType(container->type)->size;
        keeper.borrow(container->data, bytes);
        return keeper.keep(Tensor::wrap(container->type, container->data, bytes, container->shape));
    }
    if (type.element == ONNX_TENSOR_ELEMENT_DATA_TYPE_UNDEFINED || !Onnx::findElementType(type.element)) {
        typeError(what + " has element type " + nameOf(type.element) + ", which is not supported");
    }
    auto tensor = tensorFromNested(value, type.element, what);
    checkShape(what, type, tensor->shape());
    return keeper.keepTensor(tensor, type.element);
}

// Held, not borrowed: converting one item may change the list.
std::vector<py::object> itemsOf(py::handle value, const std::string& what, const char* expected)
{
    if (!isNested(value)) {
        typeError(what + " expects " + expected + ", got " + typeNameOf(value));
    }
    std::vector<py::object> items;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(value.ptr()); ++i) {
        items.push_back(py::reinterpret_borrow<py::object>(PySequence_Fast_GET_ITEM(value.ptr(), i)));
    }
    return items;
}

} // namespace

// ---- FeedKeeper ----

// The values made over fed memory go before the buffers that hold it (members are destroyed
// last to first).
FeedKeeper::~FeedKeeper() = default;

void FeedKeeper::borrow(const void* data, size_t bytes) { m_borrowed.emplace_back(static_cast<const char*>(data), bytes); }

bool FeedKeeper::overlaps(const void* data, size_t bytes) const
{
    const char* begin = static_cast<const char*>(data);
    for (const auto& [start, size] : m_borrowed) {
        if (begin < start + size && start < begin + bytes) {
            return true;
        }
    }
    return false;
}

const OrtValue* FeedKeeper::keepTensor(const TensorPtr& tensor, ONNXTensorElementDataType type)
{
    owners.push_back(tensor);
    // A result that is this very feed lies in memory freed with the keeper: it is copied out.
    if (tensor->data()) {
        borrow(tensor->data(), tensor->byteCount());
    }
    if (tensor->type() != type) {
        return keep(Tensor::wrap(type, tensor->data(), tensor->byteCount(), tensor->shape()));
    }
    std::optional<Ort::Value> made;
    const OrtValue* fed = tensor->feedValue(made);
    return made ? keep(std::move(*made)) : fed;
}

const OrtValue* FeedKeeper::keep(Ort::Value value)
{
    m_values.push_back(std::move(value));
    return m_values.back();
}

std::string shapeText(const std::vector<int64_t>& dims, const std::vector<std::string>& symbols)
{
    std::string text = "(";
    for (size_t i = 0; i < dims.size(); ++i) {
        if (i) {
            text += ", ";
        }
        if (dims[i] >= 0) {
            text += std::to_string(dims[i]);
        } else if (i < symbols.size() && !symbols[i].empty()) {
            text += symbols[i];
        } else {
            text += "None";
        }
    }
    return text + (dims.size() == 1 ? ",)" : ")");
}

const OrtValue* feedValue(py::handle value, const TypeDesc& type, const std::string& what, FeedKeeper& keeper)
{
    const OrtApi& api = Ort::GetApi();
    switch (type.kind) {
    case Onnx::Kind::Tensor: return feedTensor(value, type, what, keeper);
    case Onnx::Kind::Optional: return feedValue(value, *type.contained, what, keeper);
    case Onnx::Kind::Sequence: {
        auto items = itemsOf(value, what, "a list");
        if (items.empty()) {
            valueError(what + " expects a sequence, got an empty list, which the runtime cannot make");
        }
        std::vector<const OrtValue*> elements;
        for (size_t i = 0; i < items.size(); ++i) {
            elements.push_back(feedValue(items[i], *type.contained, what + " item " + std::to_string(i), keeper));
        }
        OrtValue* sequence = nullptr;
        Ort::ThrowOnError(api.CreateValue(elements.data(), elements.size(), ONNX_TYPE_SEQUENCE, &sequence));
        return keeper.keep(Ort::Value(sequence));
    }
    case Onnx::Kind::Map: {
        if (!PyDict_Check(value.ptr())) {
            typeError(what + " expects a dict, got " + typeNameOf(value));
        }
        py::dict map = py::reinterpret_borrow<py::dict>(value);
        const TypeDesc& values = *type.contained;
        if (values.kind != Onnx::Kind::Tensor) {
            typeError(what + " is a map of " + Onnx::kindName(values.kind) + "s, which cannot be fed");
        }
        py::list keyList, valueList;
        for (auto [k, v] : map) {
            keyList.append(k);
            valueList.append(v);
        }
        auto keys = tensorFromNested(keyList, type.element, what + " keys");
        auto vals = tensorFromNested(valueList, values.element, what + " values");
        const OrtValue* parts[] = {keeper.keepTensor(keys, keys->type()), keeper.keepTensor(vals, vals->type())};
        OrtValue* made = nullptr;
        Ort::ThrowOnError(api.CreateValue(parts, 2, ONNX_TYPE_MAP, &made));
        return keeper.keep(Ort::Value(made));
    }
    }
    return nullptr;
}

TensorPtr tensorFrom(py::handle value, std::optional<ONNXTensorElementDataType> element, const std::string& what)
{
    if (const TensorPtr* held = tensorOf(value)) {
        const TensorPtr& source = *held;
        if (element) {
            checkType(what, *element, source->type());
        }
        return copyOfTensor(*source, element ? *element : source->type(), source->shape());
    }
    if (element && *element != ONNX_TENSOR_ELEMENT_DATA_TYPE_STRING
        && (PyBytes_Check(value.ptr()) || PyByteArray_Check(value.ptr()))) {
        if (!Onnx::findElementType(*element)) {
            typeError(what + " has element type " + nameOf(*element) + ", which is not supported");
        }
        return tensorFromSource(readRaw(bufferOf(value), Onnx::elementCode(*element), feedContext(what)), *element, what);
    }
    // Bytes given for strings are one string.
    if (!(element == ONNX_TENSOR_ELEMENT_DATA_TYPE_STRING && (PyBytes_Check(value.ptr()) || PyByteArray_Check(value.ptr())))) {
        if (auto buffer = bufferUnlessNumber(value)) {
            const auto given = bufferType(buffer->view, what);
            return copyOfBuffer(readBuffer(std::move(buffer), feedContext(what)), element ? *element : given, what);
        }
    }
    if (auto container = containerData(value)) {
        if (element) {
            checkType(what, *element, container->type);
        }
        auto tensor = std::make_shared<Tensor>(container->type, container->shape);
        if (tensor->byteCount()) {
            std::memcpy(tensor->data(), container->data, tensor->byteCount());
        }
        return tensor;
    }
    return tensorFromNested(value, element, what);
}

} // namespace Quelt::Python
