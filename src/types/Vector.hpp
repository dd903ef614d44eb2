// Quelt::Vector: a dense vector owning reference-counted element storage.
#pragma once

#include <cstddef>
#include <memory>
#include <utility>

#include "types/Storage.hpp"
#include "types/VectorView.hpp"

namespace Quelt {

template <typename T>
class Vector {
public:
    using SampleType = T;

    const size_t m_numel;
    // Shared with every copy and every view; one allocation holds elements and count.
    std::shared_ptr<T[]> m_data;

    explicit Vector(size_t size) : m_numel(size), m_data(detail::makeStorage<T>(size)) {}
    Vector(size_t size, ForOverwrite) : m_numel(size), m_data(detail::makeStorageForOverwrite<T>(size)) {}

    T* get() const { return m_data.get(); }
    size_t numel() const { return m_numel; }

    template <size_t N>
        requires(N == 0)
    size_t dim() const
    {
        return m_numel;
    }

    T& operator[](size_t idx)
    {
        detail::checkIndex(idx, m_numel);
        return m_data[idx];
    }

    T operator[](size_t idx) const
    {
        detail::checkIndex(idx, m_numel);
        return m_data[idx];
    }

    VectorView<T> operator[](const std::pair<size_t, size_t>& range) const
    {
        detail::checkRange(range, m_numel);
        return VectorView<T>(detail::orderedRange(range), m_data);
    }
};

} // namespace Quelt
