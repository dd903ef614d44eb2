// Quelt::Onnx::Tensor: a dense row-major tensor of any element type the runtime knows, either
// holding a value the runtime made (a run's output, taken over without a copy) or memory of
// its own.
#pragma once

#include "onnx/OnnxRuntime.hpp"
#include "types/Storage.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace Quelt::Onnx {

// The element table's entry of a runtime type; nullptr for the types it does not hold (the
// 8-bit float formats, undefined).
inline const ElementInfo* findElementType(ONNXTensorElementDataType type) { return findElement(elementCode(type)); }

// The element type's name as users see it, or the runtime's enumerator for the others.
inline std::string elementName(ONNXTensorElementDataType type)
{
    const ElementInfo* entry = findElementType(type);
    return entry ? entry->name : typeName(type);
}

// The element count of a shape; a count that does not fit memory is refused as the allocation
// failure it would be. Any order of the same sizes gives the same answer: a zero-size shape
// holds nothing, however large its other sizes.
inline size_t elementCount(const std::vector<int64_t>& shape)
{
    for (int64_t dim : shape) {
        if (dim < 0) {
            throw std::invalid_argument("negative dimension " + std::to_string(dim));
        }
    }
    if (std::find(shape.begin(), shape.end(), 0) != shape.end()) {
        return 0;
    }
    size_t count = 1;
    for (int64_t dim : shape) {
        if (count > size_t(PTRDIFF_MAX) / 16 / size_t(dim)) {
            throw std::bad_array_new_length();
        }
        count *= size_t(dim);
    }
    return count;
}

class Tensor {
public:
    // Takes over a tensor value the runtime made; its memory is used in place.
    explicit Tensor(Ort::Value value) : m_value(std::move(value))
    {
        auto info = m_value.GetTensorTypeAndShapeInfo();
        m_type = info.GetElementType();
        m_shape = info.GetShape();
        m_numel = elementCount(m_shape);
        if (m_type != ONNX_TENSOR_ELEMENT_DATA_TYPE_STRING) {
            m_data = m_value.GetTensorMutableRawData();
        }
    }

    // Memory of its own, zero-filled (strings: empty), for `type` and `shape`.
    Tensor(ONNXTensorElementDataType type, std::vector<int64_t> shape) : Tensor(type, std::move(shape), true) {}
    // The same, not zero-filled, for a maker that writes every element before anyone reads one.
    Tensor(ONNXTensorElementDataType type, std::vector<int64_t> shape, ForOverwrite)
        : Tensor(type, std::move(shape), false)
    {
    }

    ONNXTensorElementDataType type() const { return m_type; }
    const std::vector<int64_t>& shape() const { return m_shape; }
    size_t numel() const { return m_numel; }
    size_t itemSize() const { return findElementType(m_type)->size; }
    size_t byteCount() const { return m_numel * itemSize(); }
    // nullptr for string tensors.
    void* data() const { return m_data; }
    bool isString() const { return m_type == ONNX_TENSOR_ELEMENT_DATA_TYPE_STRING; }

    // A runtime value to feed: the tensor's own or, for memory of its own, a new one over it
    // (which the runtime refuses for the element types it cannot hold).
    const OrtValue* feedValue(std::optional<Ort::Value>& holder) const
    {
        if (m_value) {
            return m_value;
        }
        holder.emplace(wrap(m_type, m_data, m_numel * itemSize(), m_shape));
        return *holder;
    }

    // A runtime value over memory it does not own.
    static Ort::Value wrap(ONNXTensorElementDataType type, void* data, size_t bytes, const std::vector<int64_t>& shape)
    {
        static const Ort::MemoryInfo cpu = Ort::MemoryInfo::CreateCpu(OrtDeviceAllocator, OrtMemTypeDefault);
        OrtValue* value = nullptr;
        Ort::ThrowOnError(Ort::GetApi().CreateTensorWithDataAsOrtValue(cpu, data, bytes, shape.data(), shape.size(),
                                                                        type, &value));
        return Ort::Value(value);
    }

    std::string stringAt(size_t index) const
    {
        const OrtApi& api = Ort::GetApi();
        size_t length = 0;
        Ort::ThrowOnError(api.GetStringTensorElementLength(m_value, index, &length));
        std::string text(length, '\0');
        if (length != 0) {
            Ort::ThrowOnError(api.GetStringTensorElement(m_value, length, index, text.data()));
        }
        return text;
    }

    // Length-counted, so that a string holding NUL characters is kept whole.
    void setString(size_t index, std::string_view text)
    {
        char* buffer = nullptr;
        Ort::ThrowOnError(Ort::GetApi().GetResizedStringTensorElementBuffer(m_value, index, text.size(), &buffer));
        if (!text.empty()) {
            std::memcpy(buffer, text.data(), text.size());
        }
    }

private:
    Tensor(ONNXTensorElementDataType type, std::vector<int64_t> shape, bool zeroed)
        : m_type(type), m_shape(std::move(shape)), m_numel(elementCount(m_shape))
    {
        const ElementInfo* entry = findElementType(type);
        if (entry == nullptr) {
            throw std::invalid_argument("element type " + typeName(type) + " is not supported");
        }
        if (type == ONNX_TENSOR_ELEMENT_DATA_TYPE_STRING) {
            // Only the runtime can make string tensors; their elements are set one by one.
            Ort::AllocatorWithDefaultOptions allocator;
            m_value = Ort::Value::CreateTensor(allocator, m_shape.data(), m_shape.size(), type);
            return;
        }
        const size_t bytes = std::max<size_t>(m_numel * entry->size, 1);
        // Aligned as the runtime's own allocations are, so its vectorised kernels run at speed.
        m_memory = std::shared_ptr<void>(::operator new(bytes, std::align_val_t(64)),
                                         [](void* p) { ::operator delete(p, std::align_val_t(64)); });
        if (zeroed) {
            std::memset(m_memory.get(), 0, bytes);
        }
        m_data = m_memory.get();
        // Made once, to be fed as it is; the element types the runtime cannot hold get none,
        // and feeding them asks it again, for its message.
        try {
            m_value = wrap(type, m_data, m_numel * entry->size, m_shape);
        } catch (const Ort::Exception&) {
        }
    }

    // Declared after the memory it may lie over, so that it goes first.
    std::shared_ptr<void> m_memory;
    Ort::Value m_value{nullptr};
    ONNXTensorElementDataType m_type = ONNX_TENSOR_ELEMENT_DATA_TYPE_UNDEFINED;
    std::vector<int64_t> m_shape;
    size_t m_numel = 0;
    void* m_data = nullptr;
};

} // namespace Quelt::Onnx
