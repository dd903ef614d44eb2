// Quelt::Matrix: a dense column-major matrix owning reference-counted element storage.
#pragma once

#include <array>
#include <cstddef>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

#include "types/Storage.hpp"

namespace Quelt {

template <typename T>
class Matrix {
public:
    using SampleType = T;

    // m_dim[0] rows, m_dim[1] columns; element (i, j) sits at i + j * rows.
    const std::array<size_t, 2> m_dim;
    const size_t m_numel;
    std::shared_ptr<T[]> m_data;

    Matrix(size_t numRows, size_t numCols)
        : m_dim{numRows, numCols}, m_numel(elementCount(numRows, numCols)),
          m_data(detail::makeStorage<T>(m_numel))
    {
    }

    Matrix(size_t numRows, size_t numCols, ForOverwrite)
        : m_dim{numRows, numCols}, m_numel(elementCount(numRows, numCols)),
          m_data(detail::makeStorageForOverwrite<T>(m_numel))
    {
    }

    T* get() const { return m_data.get(); }
    size_t numel() const { return m_numel; }

    template <size_t N>
        requires(N < 2)
    size_t dim() const
    {
        return m_dim[N];
    }

    T& operator[](std::pair<size_t, size_t> idx) { return m_data[checkedLocation(idx)]; }
    T operator[](std::pair<size_t, size_t> idx) const { return m_data[checkedLocation(idx)]; }

private:
    // Refused before anything is allocated: a wrapped product would promise more elements
    // than the storage holds.
    static size_t elementCount(size_t numRows, size_t numCols)
    {
        if (numCols != 0 && numRows > std::numeric_limits<size_t>::max() / numCols) {
            throw std::runtime_error("matrix of " + std::to_string(numRows) + " rows and "
                                     + std::to_string(numCols) + " columns has too many elements");
        }
        return numRows * numCols;
    }

    // The position test comes first; the per-dimension tests catch the positions that wrap
    // around size_t and land inside the storage. The messages have no space around the
    // numbers where shown.
    size_t checkedLocation(std::pair<size_t, size_t> idx) const
    {
        const size_t loc = idx.first + idx.second * m_dim[0];
        if (loc >= m_numel) {
            throw std::runtime_error("requested array index " + std::to_string(loc)
                                     + "exceeds max number of elements " + std::to_string(m_numel));
        }
        if (idx.first >= m_dim[0]) {
            throw std::runtime_error("index for dimension 0" + std::to_string(idx.first)
                                     + "exceeds max number of elements for that dimension "
                                     + std::to_string(m_dim[0]));
        }
        if (idx.second >= m_dim[1]) {
            throw std::runtime_error("index for dimension 1" + std::to_string(idx.second)
                                     + "exceeds max number of elements for that dimension "
                                     + std::to_string(m_dim[1]));
        }
        return loc;
    }
};

} // namespace Quelt
