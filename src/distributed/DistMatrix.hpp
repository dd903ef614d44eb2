// Quelt::Distributed::DistMatrix: a matrix in 2-D block-cyclic distribution over a grid, whose
// local block is a core matrix used as ScaLAPACK's local array.
#pragma once

#include <array>
#include <climits>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "distributed/Grid.hpp"
#include "types/Matrix.hpp"

namespace Quelt::Distributed {

// The element types in the order of the engine's list; a DistMatrix's dtype is an index here.
#define QUELT_DISTRIBUTED_MATRIX(T, L, name, mpiType) Matrix<T>,
#define QUELT_DISTRIBUTED_NAME(T, L, name, mpiType) name,
using LocalBlock = std::variant<QUELT_DISTRIBUTED_ELEMENTS(QUELT_DISTRIBUTED_MATRIX) std::monostate>;
inline constexpr const char* elementNames[] = {QUELT_DISTRIBUTED_ELEMENTS(QUELT_DISTRIBUTED_NAME)};
#undef QUELT_DISTRIBUTED_MATRIX
#undef QUELT_DISTRIBUTED_NAME
inline constexpr size_t elementCount = std::variant_size_v<LocalBlock> - 1;

template <typename T, size_t I = 0>
constexpr size_t elementIndexOf()
{
    if constexpr (std::is_same_v<std::variant_alternative_t<I, LocalBlock>, Matrix<T>>) {
        return I;
    } else {
        return elementIndexOf<T, I + 1>();
    }
}

inline size_t elementFromName(const std::string& name)
{
    for (size_t i = 0; i < elementCount; ++i) {
        if (name == elementNames[i]) {
            return i;
        }
    }
    throw std::invalid_argument("dtype " + name + " is not one of float32, float64, complex64, complex128");
}

// Calls f(Matrix<T>*) with a null pointer of the element type at index: the one switch from a
// run-time element type to a compile-time one.
template <typename F, size_t I = 0>
decltype(auto) withElement(size_t index, F&& f)
{
    if constexpr (I + 1 < elementCount) {
        if (index != I) {
            return withElement<F, I + 1>(index, std::forward<F>(f));
        }
    }
    return f(static_cast<std::variant_alternative_t<I, LocalBlock>*>(nullptr));
}

// ScaLAPACK's counts and indices are ints: every global dimension must fit one.
inline int narrowGlobal(const char* what, long long value)
{
    if (value < 0) {
        throw std::invalid_argument(std::string(what) + " " + std::to_string(value) + " is negative");
    }
    if (value > INT_MAX) {
        throw std::invalid_argument(std::string(what) + " " + std::to_string(value)
                                    + " exceeds the ScaLAPACK limit of " + std::to_string(INT_MAX));
    }
    return int(value);
}

class DistMatrix {
public:
    DistMatrix(std::shared_ptr<Grid> grid, long long rows, long long cols, size_t element, long long rowBlock,
               long long colBlock)
        : m_grid(std::move(grid)), m_m(narrowGlobal("rows", rows)), m_n(narrowGlobal("columns", cols)),
          m_mb(narrowBlock(rowBlock)), m_nb(narrowBlock(colBlock)),
          m_localRows(localCount(m_m, m_mb, m_grid->row(), m_grid->rows())),
          m_localCols(localCount(m_n, m_nb, m_grid->col(), m_grid->cols())),
          m_local(makeLocal(element, m_localRows, m_localCols)),
          m_desc{1, m_grid->context(), m_m, m_n, m_mb, m_nb, 0, 0, std::max(1, m_localRows)}
    {
    }

    const std::shared_ptr<Grid>& grid() const { return m_grid; }
    int rows() const { return m_m; }
    int cols() const { return m_n; }
    int rowBlock() const { return m_mb; }
    int colBlock() const { return m_nb; }
    size_t element() const { return m_local.index(); }
    const char* elementName() const { return elementNames[element()]; }
    const int* desc() const { return m_desc.data(); }
    const LocalBlock& local() const { return m_local; }

    template <typename T>
    T* data() const
    {
        return std::get<Matrix<T>>(m_local).get();
    }

    // The global indices (from 0) of the local block's rows and of its columns.
    std::vector<long long> globalRows() const { return globalIndices(m_localRows, m_mb, m_grid->row(), m_grid->rows()); }
    std::vector<long long> globalCols() const { return globalIndices(m_localCols, m_nb, m_grid->col(), m_grid->cols()); }

    // This process's descriptor for a copy of the whole matrix on one root process: the same
    // one on the root, and a context of -1, taking no part, everywhere else.
    std::array<int, 9> rootDescriptor(int rootContext) const
    {
        return {1, rootContext, m_m, m_n, m_mb, m_nb, 0, 0, std::max(1, m_m)};
    }

private:
    static int narrowBlock(long long block)
    {
        if (block < 1 || block > INT_MAX) {
            throw std::invalid_argument("block " + std::to_string(block) + " must be between 1 and "
                                        + std::to_string(INT_MAX));
        }
        return int(block);
    }

    static int localCount(int n, int block, int process, int processes)
    {
        const int source = 0;
        return numroc_(&n, &block, &process, &source, &processes);
    }

    static std::vector<long long> globalIndices(int count, int block, int process, int processes)
    {
        std::vector<long long> out(static_cast<size_t>(count));
        for (int l = 0; l < count; ++l) {
            out[size_t(l)] = (long long)((l / block) * processes + process) * block + l % block;
        }
        return out;
    }

    static LocalBlock makeLocal(size_t element, int rows, int cols)
    {
        return withElement(element, [&](auto* tag) {
            using M = std::remove_pointer_t<decltype(tag)>;
            return LocalBlock(std::in_place_type<M>, size_t(rows), size_t(cols));
        });
    }

    std::shared_ptr<Grid> m_grid;
    int m_m, m_n, m_mb, m_nb;
    int m_localRows, m_localCols;
    LocalBlock m_local;
    std::array<int, 9> m_desc;
};

} // namespace Quelt::Distributed
