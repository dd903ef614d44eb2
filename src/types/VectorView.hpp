// Quelt::VectorView: a window onto a contiguous stretch of a vector's shared storage.
#pragma once

#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

namespace Quelt {

namespace detail {

// Element and range checks of the one-dimensional containers share one message.
inline void checkIndex(size_t idx, size_t numel)
{
    if (idx >= numel) {
        throw std::runtime_error("index " + std::to_string(idx) + " exceeds max number of elements "
                                 + std::to_string(numel));
    }
}

inline void checkRange(const std::pair<size_t, size_t>& range, size_t numel)
{
    if (range.second > numel) {
        throw std::runtime_error("index " + std::to_string(range.second)
                                 + " exceeds max number of elements " + std::to_string(numel));
    }
}

// A range that starts past its end selects nothing; it is placed at its end, which the range
// check has already bounded, so the empty view never points outside the storage.
inline std::pair<size_t, size_t> orderedRange(const std::pair<size_t, size_t>& range)
{
    return range.first > range.second ? std::pair{range.second, range.second} : range;
}

} // namespace detail

template <typename T>
class VectorView {
public:
    using SampleType = T;

    // Invariant: storage elements m_offset .. m_offset + m_numel - 1 exist.
    const size_t m_numel;
    const size_t m_offset;
    std::shared_ptr<T[]> m_data;

    VectorView(const std::pair<size_t, size_t>& range, const std::shared_ptr<T[]>& data)
        : m_numel(range.second - range.first), m_offset(range.first), m_data(data)
    {
    }

    T* get() const { return m_data.get() + m_offset; }
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
        return m_data[m_offset + idx];
    }

    T operator[](size_t idx) const
    {
        detail::checkIndex(idx, m_numel);
        return m_data[m_offset + idx];
    }

    VectorView<T> operator[](const std::pair<size_t, size_t>& range) const
    {
        detail::checkRange(range, m_numel);
        const auto [first, second] = detail::orderedRange(range);
        return VectorView<T>({m_offset + first, m_offset + second}, m_data);
    }
};

} // namespace Quelt
