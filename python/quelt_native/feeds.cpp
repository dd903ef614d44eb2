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
#include "type_name.hpp"

namespace py = pybind11;

namespace Quelt::Python {

using Onnx::ElementType;
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

// The element type a buffer's format stands for. One-byte items have no byte order; a
// floating-point letter names its width itself ('f' of 8-byte items is refused).
std::optional<ONNXTensorElementDataType> formatType(const char* format, Py_ssize_t itemsize)
{
    const BufferFormat parsed = parseBufferFormat(format, itemsize);
    const bool floating = parsed.kind == BufferFormat::Kind::Real || parsed.kind == BufferFormat::Kind::Complex;
    if ((parsed.bigEndian && itemsize > 1) || (floating && parsed.type && Onnx::findElementType(*parsed.type)->format != parsed.code)) {
        return std::nullopt;
    }
    return parsed.type;
}

// ---- Python scalars into elements ----

[[noreturn]] void wrongKind(const std::string& what, ONNXTensorElementDataType type, py::handle item)
{
    typeError(what + " expects " + nameOf(type) + ", got " + typeNameOf(item));
}

[[noreturn]] void doesNotFit(const std::string& what, ONNXTensorElementDataType type, py::handle item)
{
    valueError(what + " expects " + nameOf(type) + ", got " + py::repr(item).cast<std::string>()
               + ", which does not fit");
}

template <typename T>
T integerOf(py::handle item, ONNXTensorElementDataType type, const std::string& what)
{
    if (PyFloat_Check(item.ptr()) || PyComplex_Check(item.ptr()) || !PyIndex_Check(item.ptr())) {
        wrongKind(what, type, item);
    }
    py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(item.ptr()));
    if (!index) {
        throw py::error_already_set();
    }
    if constexpr (std::is_signed_v<T>) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
        if (overflow != 0 || v < std::numeric_limits<T>::min() || v > std::numeric_limits<T>::max()) {
            doesNotFit(what, type, item);
        }
        return T(v);
    } else {
        if (PyObject_RichCompareBool(index.ptr(), py::int_(0).ptr(), Py_LT) == 1) {
            doesNotFit(what, type, item);
        }
        const unsigned long long v = PyLong_AsUnsignedLongLong(index.ptr());
        if (PyErr_Occurred()) {
            PyErr_Clear();
            doesNotFit(what, type, item);
        }
        if (v > std::numeric_limits<T>::max()) {
            doesNotFit(what, type, item);
        }
        return T(v);
    }
}

double realOf(py::handle item, ONNXTensorElementDataType type, const std::string& what)
{
    if (PyComplex_Check(item.ptr()) || PyUnicode_Check(item.ptr()) || PyBytes_Check(item.ptr())
        || !(PyFloat_Check(item.ptr()) || PyIndex_Check(item.ptr()) || PyNumber_Check(item.ptr()))) {
        wrongKind(what, type, item);
    }
    const double v = PyFloat_AsDouble(item.ptr());
    if (v == -1.0 && PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
            PyErr_Clear();
            doesNotFit(what, type, item);
        }
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            wrongKind(what, type, item);
        }
        throw py::error_already_set();
    }
    return v;
}

// A finite value that rounds to infinity does not fit.
template <typename T>
T narrowed(double v, ONNXTensorElementDataType type, py::handle item, const std::string& what)
{
    // Compared before converting: a double beyond float's range has no float to become.
    if (std::isfinite(v) && std::fabs(v) > double(std::numeric_limits<float>::max())) {
        doesNotFit(what, type, item);
    }
    const T result(static_cast<float>(v));
    if (std::isfinite(v) && !std::isfinite(static_cast<float>(result))) {
        doesNotFit(what, type, item);
    }
    return result;
}

std::complex<double> complexOf(py::handle item, ONNXTensorElementDataType type, const std::string& what)
{
    if (PyUnicode_Check(item.ptr()) || PyBytes_Check(item.ptr())
        || !(PyComplex_Check(item.ptr()) || PyFloat_Check(item.ptr()) || PyIndex_Check(item.ptr())
             || PyNumber_Check(item.ptr()))) {
        wrongKind(what, type, item);
    }
    const Py_complex v = PyComplex_AsCComplex(item.ptr());
    if (v.real == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        doesNotFit(what, type, item);
    }
    return {v.real, v.imag};
}

std::string textOf(py::handle item, const std::string& what)
{
    if (PyUnicode_Check(item.ptr())) {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(item.ptr(), &size);
        if (text == nullptr) {
            PyErr_Clear();
            valueError(what + " expects string, got a str that is not valid UTF-8");
        }
        return std::string(text, size_t(size));
    }
    if (PyBytes_Check(item.ptr())) {
        return std::string(PyBytes_AS_STRING(item.ptr()), size_t(PyBytes_GET_SIZE(item.ptr())));
    }
    wrongKind(what, ONNX_TENSOR_ELEMENT_DATA_TYPE_STRING, item);
}

void storeElement(Tensor& tensor, size_t index, py::handle item, const std::string& what)
{
    const ONNXTensorElementDataType type = tensor.type();
    void* data = tensor.data();
    switch (type) {
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT:
        static_cast<float*>(data)[index] = narrowed<float>(realOf(item, type, what), type, item, what);
        break;
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_DOUBLE: static_cast<double*>(data)[index] = realOf(item, type, what); break;
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT16:
        static_cast<Ort::Float16_t*>(data)[index] = narrowed<Ort::Float16_t>(realOf(item, type, what), type, item, what);
        break;
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_BFLOAT16:
        static_cast<Ort::BFloat16_t*>(data)[index] = narrowed<Ort::BFloat16_t>(realOf(item, type, what), type, item, what);
        break;
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT8: static_cast<int8_t*>(data)[index] = integerOf<int8_t>(item, type, what); break;
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT8: static_cast<uint8_t*>(data)[index] = integerOf<uint8_t>(item, type, what); break;
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT16: static_cast<int16_t*>(data)[index] = integerOf<int16_t>(item, type, what); break;
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT16:
        static_cast<uint16_t*>(data)[index] = integerOf<uint16_t>(item, type, what);
        break;
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT32: static_cast<int32_t*>(data)[index] = integerOf<int32_t>(item, type, what); break;
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT32:
        static_cast<uint32_t*>(data)[index] = integerOf<uint32_t>(item, type, what);
        break;
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT64: static_cast<int64_t*>(data)[index] = integerOf<int64_t>(item, type, what); break;
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT64:
        static_cast<uint64_t*>(data)[index] = integerOf<uint64_t>(item, type, what);
        break;
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_BOOL:
        if (!PyBool_Check(item.ptr())) {
            wrongKind(what, type, item);
        }
        static_cast<bool*>(data)[index] = item.ptr() == Py_True;
        break;
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_COMPLEX64: {
        const std::complex<double> v = complexOf(item, type, what);
        static_cast<std::complex<float>*>(data)[index] =
            std::complex<float>(narrowed<float>(v.real(), type, item, what), narrowed<float>(v.imag(), type, item, what));
        break;
    }
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_COMPLEX128:
        static_cast<std::complex<double>*>(data)[index] = complexOf(item, type, what);
        break;
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_STRING: tensor.setString(index, textOf(item, what)); break;
    default: typeError(what + " has element type " + nameOf(type) + ", which is not supported");
    }
}

// ---- nested lists ----

bool isNested(py::handle item) { return PyList_Check(item.ptr()) || PyTuple_Check(item.ptr()); }

std::vector<int64_t> nestedShape(py::handle value)
{
    std::vector<int64_t> shape;
    py::handle level = value;
    while (isNested(level)) {
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(level.ptr());
        shape.push_back(size);
        if (size == 0) {
            break;
        }
        level = PySequence_Fast_GET_ITEM(level.ptr(), 0);
    }
    return shape;
}

void fillNested(Tensor& tensor, py::handle level, size_t depth, size_t& index, const std::string& what)
{
    const auto& shape = tensor.shape();
    if (depth == shape.size()) {
        if (isNested(level)) {
            valueError(what + ": nested lists are ragged (a list where a value was expected)");
        }
        storeElement(tensor, index++, level, what);
        return;
    }
    if (!isNested(level) || PySequence_Fast_GET_SIZE(level.ptr()) != shape[depth]) {
        valueError(what + ": nested lists are ragged (expected " + std::to_string(shape[depth])
                   + " items at depth " + std::to_string(depth) + ")");
    }
    // Converting an element may run Python code (__index__, __float__) that changes a list:
    // each item is held while it is used, and the length is checked again.
    for (Py_ssize_t i = 0; i < shape[depth]; ++i) {
        if (PySequence_Fast_GET_SIZE(level.ptr()) != shape[depth]) {
            valueError(what + ": a list changed while it was read");
        }
        py::object item = py::reinterpret_borrow<py::object>(PySequence_Fast_GET_ITEM(level.ptr(), i));
        fillNested(tensor, item, depth + 1, index, what);
    }
}

// What nested lists of Python scalars hold when no element type is asked for.
ONNXTensorElementDataType inferredType(py::handle level, const std::string& what)
{
    int rank = 0; // bool < int < float < complex; string apart
    bool text = false;
    bool numbers = false;
    std::vector<py::handle> pending{level};
    while (!pending.empty()) {
        py::handle item = pending.back();
        pending.pop_back();
        if (isNested(item)) {
            for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(item.ptr()); ++i) {
                pending.push_back(PySequence_Fast_GET_ITEM(item.ptr(), i));
            }
        } else if (PyUnicode_Check(item.ptr())) {
            text = true;
        } else if (PyBool_Check(item.ptr())) {
            numbers = true;
        } else if (PyLong_Check(item.ptr())) {
            numbers = true, rank = std::max(rank, 1);
        } else if (PyFloat_Check(item.ptr())) {
            numbers = true, rank = std::max(rank, 2);
        } else if (PyComplex_Check(item.ptr())) {
            numbers = true, rank = std::max(rank, 3);
        } else {
            typeError(what + " expects a tensor, a buffer, a container or (nested lists of) bool, int, float, "
                             "complex or str, got " + typeNameOf(item));
        }
    }
    if (text && numbers) {
        typeError(what + ": nested lists mix str with numbers");
    }
    if (text) return ONNX_TENSOR_ELEMENT_DATA_TYPE_STRING;
    if (!numbers) return ONNX_TENSOR_ELEMENT_DATA_TYPE_DOUBLE; // empty lists, as float values would
    static constexpr ONNXTensorElementDataType ranked[] = {
        ONNX_TENSOR_ELEMENT_DATA_TYPE_BOOL, ONNX_TENSOR_ELEMENT_DATA_TYPE_INT64, ONNX_TENSOR_ELEMENT_DATA_TYPE_DOUBLE,
        ONNX_TENSOR_ELEMENT_DATA_TYPE_COMPLEX128};
    return ranked[rank];
}

TensorPtr tensorFromNested(py::handle value, std::optional<ONNXTensorElementDataType> element, const std::string& what)
{
    const ONNXTensorElementDataType type = element ? *element : inferredType(value, what);
    auto tensor = std::make_shared<Tensor>(type, nestedShape(value));
    size_t index = 0;
    fillNested(*tensor, value, 0, index, what);
    return tensor;
}

} // namespace

namespace tensors {

// ---- buffers ----

ONNXTensorElementDataType bufferType(const Py_buffer& view, const std::string& what)
{
    const auto type = formatType(view.format, view.itemsize);
    if (!type) {
        typeError(what + ": buffer format '" + std::string(view.format ? view.format : "B")
                  + "' is not an element type the runtime knows");
    }
    return *type;
}

std::vector<int64_t> bufferShape(const Py_buffer& view)
{
    std::vector<int64_t> shape;
    for (int i = 0; i < view.ndim; ++i) {
        shape.push_back(view.shape ? view.shape[i] : view.len / view.itemsize);
    }
    return shape;
}

// The buffer's memory in row-major order, whatever its strides, as exchange reads bytes too.
void copyRowMajor(void* target, const Py_buffer& view)
{
    // Python 3.7 declares the view non-const; it is only read.
    if (view.len != 0 && PyBuffer_ToContiguous(target, const_cast<Py_buffer*>(&view), view.len, 'C') != 0) {
        throw py::error_already_set();
    }
}

TensorPtr copyOfBuffer(const Py_buffer& view, ONNXTensorElementDataType type)
{
    auto tensor = std::make_shared<Tensor>(type, bufferShape(view));
    if (tensor->numel() != 0) {
        copyRowMajor(tensor->data(), view);
    }
    return tensor;
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
        return ContainerData{elementTypeOf<T>(), {int64_t(v.numel())}, v.m_data, v.get()};
    }
    if (py::isinstance<VectorView<T>>(value)) {
        auto& v = value.cast<VectorView<T>&>();
        return ContainerData{elementTypeOf<T>(), {int64_t(v.numel())}, v.m_data, v.get()};
    }
    if (py::isinstance<Matrix<T>>(value)) {
        auto& a = value.cast<Matrix<T>&>();
        const size_t rows = a.template dim<0>(), cols = a.template dim<1>();
        auto copy = std::make_shared<Tensor>(elementTypeOf<T>(), std::vector<int64_t>{int64_t(rows), int64_t(cols)});
        T* target = static_cast<T*>(copy->data());
        const T* source = a.get();
        for (size_t i = 0; i < rows; ++i) {
            for (size_t j = 0; j < cols; ++j) {
                target[i * cols + j] = source[i + j * rows];
            }
        }
        return ContainerData{elementTypeOf<T>(), copy->shape(), copy, copy->data()};
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
    if (auto buffer = bufferOf(value)) {
        const Py_buffer& view = *buffer->view;
        checkType(what, type.element, bufferType(view, what));
        std::vector<int64_t> shape = bufferShape(view);
        checkShape(what, type, shape);
        if (!PyBuffer_IsContiguous(&view, 'C')) {
            auto copy = copyOfBuffer(view, type.element);
            keeper.owners.push_back(copy);
            return keeper.keep(Tensor::wrap(type.element, copy->data(), copy->byteCount(), copy->shape()));
        }
        // Read-only memory too: the runtime does not write its inputs.
        const OrtValue* fed = keeper.keep(Tensor::wrap(type.element, view.buf, size_t(view.len), shape));
        keeper.borrow(view.buf, size_t(view.len));
        buffer->held = false;
        keeper.buffers.push_back(std::move(buffer->view));
        return fed;
    }
    if (auto container = containerData(value)) {
        checkType(what, type.element, container->type);
        checkShape(what, type, container->shape);
        keeper.owners.push_back(container->owner);
        const size_t bytes = Onnx::elementCount(container->shape) * Onnx::findElementType(container->type)->size();
        keeper.borrow(container->data, bytes);
        return keeper.keep(Tensor::wrap(container->type, container->data, bytes, container->shape));
    }
    if (type.element == ONNX_TENSOR_ELEMENT_DATA_TYPE_UNDEFINED || !Onnx::findElementType(type.element)) {
        typeError(what + " has element type " + nameOf(type.element) + ", which is not supported");
    }
    auto tensor = tensorFromNested(value, type.element, what);
    checkShape(what, type, tensor->shape());
    keeper.owners.push_back(tensor);
    std::optional<Ort::Value> made;
    const OrtValue* fed = tensor->feedValue(made);
    return made ? keeper.keep(std::move(*made)) : fed;
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

FeedKeeper::~FeedKeeper()
{
    for (auto& view : buffers) {
        PyBuffer_Release(view.get());
    }
}

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
        keeper.owners.push_back(keys);
        keeper.owners.push_back(vals);
        std::optional<Ort::Value> madeKeys, madeValues;
        const OrtValue* parts[] = {keys->feedValue(madeKeys), vals->feedValue(madeValues)};
        if (madeKeys) keeper.keep(std::move(*madeKeys));
        if (madeValues) keeper.keep(std::move(*madeValues));
        OrtValue* made = nullptr;
        Ort::ThrowOnError(api.CreateValue(parts, 2, ONNX_TYPE_MAP, &made));
        return keeper.keep(Ort::Value(made));
    }
    }
    return nullptr;
}

TensorPtr tensorFrom(py::handle value, std::optional<ONNXTensorElementDataType> element, const std::string& what)
{
    if (auto buffer = bufferOf(value)) {
        const auto given = bufferType(*buffer->view, what);
        if (element) {
            checkType(what, *element, given);
        }
        auto tensor = copyOfBuffer(*buffer->view, element ? *element : given);
        return tensor;
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
