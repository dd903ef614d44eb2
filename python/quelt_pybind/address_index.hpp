// AddressIndex: a few objects, known in advance, to their places in a list, in one probe.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace Quelt::Python {

// The bucket of an object is a few bits of its address, chosen when the index is made so that
// no two of its objects share one. An object outside the index lands on a bucket that holds
// another, or none.
template <typename T>
class AddressIndex {
public:
    static constexpr size_t none = size_t(-1);
    static constexpr size_t buckets = 64;

    // None when no choice of bits parts the objects (more than `buckets` of them, or addresses
    // that agree in every bit tried); the caller then searches its list.
    static std::optional<AddressIndex> of(const std::vector<T*>& objects)
    {
        AddressIndex index;
        // Objects are at least 8-byte aligned; Python's type objects lie hundreds of bytes apart.
        for (unsigned shift = 3; shift < 24; ++shift) {
            if (index.place(objects, shift)) {
                return index;
            }
        }
        return std::nullopt;
    }

    size_t find(const T* object) const
    {
        const Bucket& b = m_buckets[bucketOf(object, m_shift)];
        return b.object == object ? b.place : none;
    }

private:
    struct Bucket {
        const T* object = nullptr;
        size_t place = none;
    };

    static size_t bucketOf(const T* object, unsigned shift)
    {
        return (reinterpret_cast<uintptr_t>(object) >> shift) % buckets;
    }

    bool place(const std::vector<T*>& objects, unsigned shift)
    {
        m_buckets = {};
        m_shift = shift;
        for (size_t i = 0; i < objects.size(); ++i) {
            Bucket& b = m_buckets[bucketOf(objects[i], shift)];
            if (b.object != nullptr) {
                return false;
            }
            b = {objects[i], i};
        }
        return true;
    }

    unsigned m_shift = 0;
    std::array<Bucket, buckets> m_buckets{};
};

} // namespace Quelt::Python
