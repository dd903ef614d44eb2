// The distributed operations: the core's names, argument orders and meanings, each one PBLAS or
// ScaLAPACK call on the operands' local blocks, in place.
//
// Every call runs in the same order on every rank: the agreement, then checks made only from
// what all ranks know (shapes, blocks, grid, element type), then the engine. A refused call has
// touched nothing. The shape checks are the core's own, so their messages are the core's.
#pragma once

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "distributed/Agreement.hpp"
#include "operations/blas.hpp"
#include "operations/gemm.hpp"
#include "operations/gemv.hpp"
#include "operations/ls.hpp"

namespace Quelt::Distributed {

namespace detail {

// A DistMatrix's global shape, standing for it in the core's shape checks.
template <typename T>
struct GlobalShape {
    using SampleType = T;
    size_t rows, cols;
    T* get() const { return nullptr; }
    size_t numel() const { return rows * cols; }
    template <size_t N>
        requires(N < 2)
    size_t dim() const
    {
        return N == 0 ? rows : cols;
    }
};

template <typename T>
GlobalShape<T> shapeOf(const DistMatrix& m)
{
    return {size_t(m.rows()), size_t(m.cols())};
}

inline std::string blockText(int rows, int cols)
{
    // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) about the chained form here.
    std::string text = "(";
    text += std::to_string(rows);
    text += ", ";
    text += std::to_string(cols);
    text += ")";
    return text;
}

// PBLAS distributes the rows (or columns) of two operands alike only when their blocks along
// that side are equal; the message names the block that would make them so.
inline void matchBlocks(const char* call, const char* name, const char* side, int block, const char* otherName,
                        const char* otherSide, const DistMatrix& other, int fixedRows, int fixedCols)
{
    const int otherBlock = std::string(otherSide) == "row" ? other.rowBlock() : other.colBlock();
    if (block != otherBlock) {
        throw std::runtime_error("In " + std::string(call) + ", " + name + "'s " + side + " block ("
                                 + std::to_string(block) + ") and " + otherName + "'s " + otherSide + " block ("
                                 + std::to_string(otherBlock) + ") differ: redistribute " + otherName
                                 + " with block=" + blockText(fixedRows, fixedCols));
    }
}

inline void checkApart(const char* call, const char* written, const DistMatrix& w, const char* other,
                       const DistMatrix& r)
{
    if (&w == &r) {
        throw std::runtime_error("In " + std::string(call) + ", " + written + " overlaps " + other);
    }
}

inline void requireVector(const char* call, const char* name, const DistMatrix& x)
{
    if (x.cols() != 1) {
        throw std::runtime_error("In " + std::string(call) + ", " + name + " has " + std::to_string(x.cols())
                                 + " columns: vectors are one-column DistMatrix objects");
    }
}

// The level-1 checks: two vectors, y at least as long as x, their rows distributed alike.
inline void checkLevel1(const char* call, const DistMatrix& x, const DistMatrix& y)
{
    requireVector(call, "x", x);
    requireVector(call, "y", y);
    Blas::checkHolds(call, size_t(x.rows()), size_t(y.rows()));
    matchBlocks(call, "x", "row", x.rowBlock(), "y", "row", y, x.rowBlock(), y.colBlock());
}

// A flag raised on any rank, raised on every rank.
inline void anyRank(const Grid& grid, int* flags, int count)
{
    check(MPI_Allreduce(MPI_IN_PLACE, flags, count, MPI_INT, MPI_MAX, grid.comm()->handle()), "MPI_Allreduce");
}

// The value that rank 0 holds, on every rank of the grid.
template <typename T>
T fromFirst(const Grid& grid, T value)
{
    check(MPI_Bcast(&value, 1, Engine::mpiTypeOf(&value), 0, grid.comm()->handle()), "MPI_Bcast");
    return value;
}

} // namespace detail

template <typename T>
void gemm(Scalar<T> a, Scalar<T> b, const DistMatrix& A, const DistMatrix& X, DistMatrix& Y)
{
    agreeOnOperands<T>("gemm", {{"A", &A}, {"X", &X}, {"Y", &Y}}, {{"a", a}, {"b", b}});
    auto y = detail::shapeOf<T>(Y);
    Quelt::validate_gemm(detail::shapeOf<T>(A), detail::shapeOf<T>(X), y);
    detail::checkApart("gemm", "Y", Y, "A", A);
    detail::checkApart("gemm", "Y", Y, "X", X);
    detail::matchBlocks("gemm", "A", "row", A.rowBlock(), "Y", "row", Y, A.rowBlock(), Y.colBlock());
    detail::matchBlocks("gemm", "A", "column", A.colBlock(), "X", "row", X, A.colBlock(), X.colBlock());
    detail::matchBlocks("gemm", "X", "column", X.colBlock(), "Y", "column", Y, Y.rowBlock(), X.colBlock());
    Engine::gemm(Y.rows(), Y.cols(), A.cols(), a.value, A.data<T>(), A.desc(), X.data<T>(), X.desc(), b.value,
                 Y.data<T>(), Y.desc());
}

// x and y stand by their first columns, as a core matrix does in gemv.
template <typename T>
void gemv(Scalar<T> a, Scalar<T> b, const DistMatrix& A, const DistMatrix& x, DistMatrix& y)
{
    agreeOnOperands<T>("gemv", {{"A", &A}, {"x", &x}, {"y", &y}}, {{"a", a}, {"b", b}});
    auto ys = detail::shapeOf<T>(y);
    Quelt::validate_gemv(detail::shapeOf<T>(A), detail::shapeOf<T>(x), ys);
    if (x.cols() == 0 || y.cols() == 0) {
        const char* which = x.cols() == 0 ? "x" : "y";
        throw std::runtime_error(std::string("In gemv, ") + which + " has no columns to stand as a vector");
    }
    detail::checkApart("gemv", "y", y, "A", A);
    detail::checkApart("gemv", "y", y, "x", x);
    detail::matchBlocks("gemv", "A", "row", A.rowBlock(), "y", "row", y, A.rowBlock(), y.colBlock());
    detail::matchBlocks("gemv", "A", "column", A.colBlock(), "x", "row", x, A.colBlock(), x.colBlock());
    Engine::gemv(A.rows(), A.cols(), a.value, A.data<T>(), A.desc(), x.data<T>(), x.desc(), b.value, y.data<T>(),
                 y.desc());
}

// Every column of B is a right-hand side: B holds b in its first m rows on entry and the
// solution in its first n on return; A is overwritten by its factorisation.
template <typename T>
void ls(const DistMatrix& A, DistMatrix& B)
{
    agreeOnOperands<T>("ls", {{"A", &A}, {"B", &B}}, {});
    const int m = A.rows(), n = A.cols();
    const int needed = std::max(m, n);
    if (B.rows() < needed) {
        throw std::runtime_error("In ls, B has " + std::to_string(B.rows()) + " rows, fewer than the "
                                 + std::to_string(needed) + " that a " + std::to_string(m) + " x "
                                 + std::to_string(n) + " system needs");
    }
    detail::checkApart("ls", "b", B, "A", A);
    detail::matchBlocks("ls", "A", "row", A.rowBlock(), "B", "row", B, A.rowBlock(), B.colBlock());
    // The minimum-norm solution comes from A's LQ factorisation, whose columns face B's rows.
    if (m < n) {
        detail::matchBlocks("ls", "B", "row", B.rowBlock(), "A", "column", A, A.rowBlock(), B.rowBlock());
    }

    // The core's screening, in its order: NaN in A, an infinity in A, then the same in b's
    // first max(m, n) rows, each flag raised wherever any rank found it.
    int found[4] = {0, 0, 0, 0};
    const auto screen = [](const T* values, size_t count, int* flags) {
        for (size_t i = 0; i < count; ++i) {
            flags[0] |= int(Quelt::detail::isNan(values[i]));
            flags[1] |= int(Quelt::detail::isInfinite(values[i]));
        }
    };
    const auto& a = std::get<Matrix<T>>(A.local());
    screen(a.get(), a.numel(), found);
    const auto& b = std::get<Matrix<T>>(B.local());
    const std::vector<long long> bRows = B.globalRows();
    for (size_t j = 0; j < b.template dim<1>(); ++j) {
        for (size_t i = 0; i < bRows.size() && bRows[i] < needed; ++i) {
            screen(b.get() + i + j * b.template dim<0>(), 1, found + 2);
        }
    }
    detail::anyRank(*A.grid(), found, 4);
    const char* what[4] = {"matrix A contains NaN", "matrix A contains an infinity", "b contains NaN",
                           "b contains an infinity"};
    for (int k : {0, 1, 2, 3}) {
        if (found[k]) {
            throw std::runtime_error(std::string("In ls, ") + what[k]);
        }
    }

    const int nrhs = B.cols();
    T size{};
    int status = Engine::gels(m, n, nrhs, A.data<T>(), A.desc(), B.data<T>(), B.desc(), &size, -1);
    if (status == 0) {
        std::vector<T> work(size_t(std::max(1.0, double(std::real(size)))));
        status = Engine::gels(m, n, nrhs, A.data<T>(), A.desc(), B.data<T>(), B.desc(), work.data(),
                              int(work.size()));
    }
    if (status != 0) {
        throw std::runtime_error("In ls, ScaLAPACK rejected argument " + std::to_string(-status));
    }
    // The engine solves with the triangular factor without looking at its diagonal: a zero
    // there (the rank deficiency gels reports) is found here, after the fact, as the core
    // finds it.
    int deficient = 0;
    const std::vector<long long> rows = A.globalRows(), cols = A.globalCols();
    for (size_t j = 0; j < cols.size(); ++j) {
        const auto at = std::lower_bound(rows.begin(), rows.end(), cols[j]);
        if (cols[j] < std::min(m, n) && at != rows.end() && *at == cols[j]) {
            deficient |= int(a.get()[size_t(at - rows.begin()) + j * a.template dim<0>()] == T(0));
        }
    }
    detail::anyRank(*A.grid(), &deficient, 1);
    if (deficient) {
        throw std::runtime_error("In ls, matrix A does not have full rank; b holds no solution");
    }
}

template <typename T>
void scale(Scalar<T> alpha, DistMatrix& x)
{
    agreeOnOperands<T>("scale", {{"x", &x}}, {{"alpha", alpha}});
    detail::requireVector("scale", "x", x);
    Engine::scal(x.rows(), alpha.value, x.data<T>(), x.desc());
}

template <typename T>
void axpy(const char* call, Scalar<T> alpha, const DistMatrix& x, DistMatrix& y)
{
    agreeOnOperands<T>(call, {{"x", &x}, {"y", &y}}, {{"alpha", alpha}});
    detail::checkLevel1(call, x, y);
    // One vector as both x and y: a complex kernel writes an element's real part before it
    // reads it again for the imaginary one; y := (1 + alpha) y reads each element once.
    if (&x == &y) {
        Engine::scal(x.rows(), T(1) + alpha.value, y.data<T>(), y.desc());
    } else {
        Engine::axpy(x.rows(), alpha.value, x.data<T>(), x.desc(), y.data<T>(), y.desc());
    }
}

template <typename T>
void copy(const DistMatrix& x, DistMatrix& y)
{
    agreeOnOperands<T>("copy", {{"x", &x}, {"y", &y}}, {});
    detail::checkLevel1("copy", x, y);
    if (&x != &y) {
        Engine::copy(x.rows(), x.data<T>(), x.desc(), y.data<T>(), y.desc());
    }
}

template <typename T>
void swap(DistMatrix& x, DistMatrix& y)
{
    agreeOnOperands<T>("swap", {{"x", &x}, {"y", &y}}, {});
    detail::checkLevel1("swap", x, y);
    if (&x != &y) {
        Engine::swap(x.rows(), x.data<T>(), x.desc(), y.data<T>(), y.desc());
    }
}

// PBLAS leaves the product on the processes that hold x only; rank 0 is one of them.
template <typename T>
T dot(const char* call, const DistMatrix& x, const DistMatrix& y)
{
    agreeOnOperands<T>(call, {{"x", &x}, {"y", &y}}, {});
    if constexpr (!Blas::ComplexElement<T>) {
        if (std::string(call) == "hdot") {
            throw std::runtime_error(std::string("In hdot, x holds ") + x.elementName()
                                     + " elements: hdot takes complex vectors");
        }
    }
    detail::checkLevel1(call, x, y);
    T result{};
    if constexpr (Blas::ComplexElement<T>) {
        result = std::string(call) == "hdot" ? Engine::hdot(x.rows(), x.data<T>(), x.desc(), y.data<T>(), y.desc())
                                             : Engine::dot(x.rows(), x.data<T>(), x.desc(), y.data<T>(), y.desc());
    } else {
        result = Engine::dot(x.rows(), x.data<T>(), x.desc(), y.data<T>(), y.desc());
    }
    return detail::fromFirst(*x.grid(), result);
}

} // namespace Quelt::Distributed
