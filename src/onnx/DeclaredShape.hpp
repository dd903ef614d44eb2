// Quelt::Onnx::declaredShapes: which graph inputs and outputs of a serialized model declare a
// tensor shape at all, read from the model's bytes with a bounds-checked protobuf reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace Quelt::Onnx {

// Whether the model declares a tensor's shape at all, for each graph input and output and,
// inside sequences, maps and optional values, for the tensors they hold. The runtime describes
// a tensor of unknown rank as a scalar; this reads the answer from the model itself.
struct DeclaredShape {
    bool known = true;
    std::shared_ptr<DeclaredShape> inner;
};

// Containers nested deeper than this read as declared from there on. The runtime's own parser
// refuses deeper models, so no model it loads is cut short; the bound keeps hostile bytes (the
// file is read again after the runtime loaded it) from recursing down the C stack.
inline constexpr int maxNesting = 100;

namespace detail {

// The few fields of the model's protobuf encoding that tell it; anything malformed reads as
// "declared", which leaves the runtime's own description in force.
class ProtoReader {
public:
    ProtoReader(const uint8_t* data, size_t size) : m_at(data), m_end(data + size) {}

    // The next field; a length-delimited one's bytes in `bytes`, a varint's value in number().
    // False at the end or on error.
    bool next(uint32_t& field, std::pair<const uint8_t*, size_t>& bytes)
    {
        uint64_t key = 0;
        if (m_at >= m_end || !varint(key)) {
            return false;
        }
        field = uint32_t(key >> 3);
        bytes = {nullptr, 0};
        m_number = 0;
        switch (key & 7) {
        case 0: return varint(m_number);
        case 1: return skip(8);
        case 5: return skip(4);
        case 2: {
            uint64_t length = 0;
            if (!varint(length) || length > uint64_t(m_end - m_at)) {
                return false;
            }
            bytes = {m_at, size_t(length)};
            m_at += length;
            return true;
        }
        default: return false;
        }
    }

    uint64_t number() const { return m_number; }

    // The varints of a repeated field, packed or not: `bytes` and number() of one next().
    static std::vector<uint64_t> numbers(std::pair<const uint8_t*, size_t> bytes, uint64_t number)
    {
        if (!bytes.first) {
            return {number};
        }
        std::vector<uint64_t> values;
        ProtoReader packed(bytes.first, bytes.second);
        for (uint64_t value = 0; packed.m_at < packed.m_end && packed.varint(value); value = 0) {
            values.push_back(value);
        }
        return values;
    }

private:
    const uint8_t* m_at;
    const uint8_t* m_end;
    uint64_t m_number = 0;

    bool varint(uint64_t& value)
    {
        for (int shift = 0; shift < 64 && m_at < m_end; shift += 7) {
            const uint8_t byte = *m_at++;
            value |= uint64_t(byte & 0x7f) << shift;
            if (!(byte & 0x80)) {
                return true;
            }
        }
        return false;
    }

    bool skip(size_t count)
    {
        if (count > size_t(m_end - m_at)) {
            return false;
        }
        m_at += count;
        return true;
    }
};

// TypeProto: tensor_type 1 and sparse_tensor_type 8 (shape: field 2), sequence_type 4 and
// optional_type 9 (element: field 1), map_type 5 (values: field 2).
inline DeclaredShape declaredShape(std::pair<const uint8_t*, size_t> type, int depth = 0)
{
    DeclaredShape result;
    if (depth >= maxNesting) {
        return result;
    }
    ProtoReader reader(type.first, type.second);
    uint32_t field = 0;
    std::pair<const uint8_t*, size_t> bytes;
    while (reader.next(field, bytes)) {
        if (!bytes.first) {
            continue;
        }
        const uint32_t wanted = field == 1 || field == 8 ? 2 : field == 5 ? 2 : field == 4 || field == 9 ? 1 : 0;
        if (wanted == 0) {
            continue;
        }
        bool found = false;
        ProtoReader inner(bytes.first, bytes.second);
        uint32_t innerField = 0;
        std::pair<const uint8_t*, size_t> innerBytes;
        while (inner.next(innerField, innerBytes)) {
            if (innerField == wanted && innerBytes.first) {
                found = true;
                if (field == 4 || field == 9 || field == 5) {
                    result.inner = std::make_shared<DeclaredShape>(declaredShape(innerBytes, depth + 1));
                }
            }
        }
        if (field == 1 || field == 8) {
            result.known = found;
        }
    }
    return result;
}

} // namespace detail

// ModelProto.graph (7); GraphProto.input (11) and output (12); ValueInfoProto name (1), type (2).
inline std::vector<std::pair<std::string, DeclaredShape>> declaredShapes(const void* model, size_t size)
{
    std::vector<std::pair<std::string, DeclaredShape>> shapes;
    detail::ProtoReader reader(static_cast<const uint8_t*>(model), size);
    uint32_t field = 0;
    std::pair<const uint8_t*, size_t> graph;
    while (reader.next(field, graph)) {
        if (field != 7 || !graph.first) {
            continue;
        }
        detail::ProtoReader values(graph.first, graph.second);
        std::pair<const uint8_t*, size_t> value;
        while (values.next(field, value)) {
            if ((field != 11 && field != 12) || !value.first) {
                continue;
            }
            detail::ProtoReader parts(value.first, value.second);
            std::string name;
            DeclaredShape shape;
            std::pair<const uint8_t*, size_t> part;
            while (parts.next(field, part)) {
                if (field == 1 && part.first) {
                    name.assign(reinterpret_cast<const char*>(part.first), part.second);
                } else if (field == 2 && part.first) {
                    shape = detail::declaredShape(part);
                }
            }
            shapes.emplace_back(std::move(name), std::move(shape));
        }
    }
    return shapes;
}

} // namespace Quelt::Onnx
