// Moving matrices: a core matrix on one rank into a DistMatrix and back (scatter, gather), a
// DistMatrix onto another grid or block size (redistribute), all through the engine's p?gemr2d,
// and a core container from one rank to every rank (broadcast).
#pragma once

#include <algorithm>
#include <climits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "distributed/Agreement.hpp"

namespace Quelt::Distributed {

namespace detail {

inline void checkRoot(const char* call, const Comm& comm, int root)
{
    if (root < 0 || root >= comm.size()) {
        throw std::runtime_error("In " + std::string(call) + ", root " + std::to_string(root)
                                 + " is not a rank of the " + std::to_string(comm.size()) + " processes");
    }
}

template <typename T>
using ElementOf = typename std::remove_pointer_t<T>::SampleType;

} // namespace detail

// source: the root's matrix (null when the root was given something else); ignored elsewhere.
inline DistMatrix scatter(const std::shared_ptr<Grid>& grid, const LocalBlock* source, int root, long long rowBlock,
                          long long colBlock)
{
    const Comm& comm = *grid->comm();
    Fingerprint print;
    print << "scatter" << root << rowBlock << colBlock;
    agree(comm, "scatter", print.value());
    detail::checkRoot("scatter", comm, root);
    // What the root holds, for everyone: element type (-1: not a matrix), rows, columns.
    long long header[3] = {-1, 0, 0};
    if (comm.rank() == root && source != nullptr) {
        std::visit(
            [&](const auto& m) {
                if constexpr (!std::is_same_v<std::decay_t<decltype(m)>, std::monostate>) {
                    header[0] = (long long)source->index();
                    header[1] = (long long)m.template dim<0>();
                    header[2] = (long long)m.template dim<1>();
                }
            },
            *source);
    }
    check(MPI_Bcast(header, 3, MPI_LONG_LONG, root, comm.handle()), "MPI_Bcast");
    if (header[0] < 0) {
        throw std::runtime_error("In scatter, the root (rank " + std::to_string(root)
                                 + ") must pass a core matrix (mats, matd, matc or matz)");
    }
    DistMatrix A(grid, header[1], header[2], size_t(header[0]), rowBlock, colBlock);
    if (A.rows() > 0 && A.cols() > 0) {
        withElement(A.element(), [&](auto* tag) {
            using T = detail::ElementOf<decltype(tag)>;
            const int context = grid->rootContext(root);
            const auto desc = A.rootDescriptor(context);
            const T* from = context >= 0 ? std::get<Matrix<T>>(*source).get() : nullptr;
            Engine::gemr2d(A.rows(), A.cols(), from, desc.data(), A.data<T>(), A.desc(), grid->wholeContext());
        });
    }
    return A;
}

// The whole matrix on the root; nothing elsewhere.
inline std::optional<LocalBlock> gather(const DistMatrix& A, int root)
{
    Grid& grid = *A.grid();
    Fingerprint print;
    print << "gather" << root;
    describe(print, {{"A", &A}});
    agree(*grid.comm(), "gather", print.value());
    detail::checkRoot("gather", *grid.comm(), root);
    std::optional<LocalBlock> out;
    withElement(A.element(), [&](auto* tag) {
        using T = detail::ElementOf<decltype(tag)>;
        T* to = nullptr;
        if (grid.comm()->rank() == root) {
            out.emplace(std::in_place_type<Matrix<T>>, size_t(A.rows()), size_t(A.cols()), ForOverwrite{});
            to = std::get<Matrix<T>>(*out).get();
        }
        if (A.rows() > 0 && A.cols() > 0) {
            const int context = grid.rootContext(root);
            const auto desc = A.rootDescriptor(context);
            Engine::gemr2d(A.rows(), A.cols(), A.data<T>(), A.desc(), to, desc.data(), grid.wholeContext());
        }
    });
    return out;
}

// The same matrix on target (the same processes in the same order) with other blocks.
inline DistMatrix redistribute(const DistMatrix& A, const std::shared_ptr<Grid>& target, long long rowBlock,
                               long long colBlock)
{
    Fingerprint print;
    print << "redistribute" << rowBlock << colBlock << target->rows() << target->cols() << (target == A.grid());
    describe(print, {{"A", &A}});
    agree(*A.grid()->comm(), "redistribute", print.value());
    if (!A.grid()->comm()->sameProcesses(*target->comm())) {
        throw std::runtime_error("In redistribute, the new grid is over other processes than A's: a matrix moves "
                                 "only between grids over the same processes in the same order");
    }
    DistMatrix B(target, A.rows(), A.cols(), A.element(), rowBlock, colBlock);
    if (A.rows() > 0 && A.cols() > 0) {
        withElement(A.element(), [&](auto* tag) {
            using T = detail::ElementOf<decltype(tag)>;
            Engine::gemr2d(A.rows(), A.cols(), A.data<T>(), A.desc(), B.data<T>(), B.desc(),
                           A.grid()->wholeContext());
        });
    }
    return B;
}

// A broadcast's header: the container's kind (-1 none, 0 vector, 1 matrix), element type and
// dimensions, sent by the root first so that the others can make the container that receives.
struct Parcel {
    long long kind = -1, element = 0, rows = 0, cols = 0;
};

inline Parcel broadcastParcel(const Comm& comm, Parcel parcel, int root)
{
    Fingerprint print;
    print << "bcast" << root;
    agree(comm, "bcast", print.value());
    detail::checkRoot("bcast", comm, root);
    check(MPI_Bcast(&parcel, 4, MPI_LONG_LONG, root, comm.handle()), "MPI_Bcast");
    if (parcel.kind < 0) {
        throw std::runtime_error("In bcast, the root (rank " + std::to_string(root)
                                 + ") must pass a core vector, view or matrix");
    }
    return parcel;
}

// MPI counts are ints: a longer run goes in pieces.
template <typename T>
void broadcastElements(const Comm& comm, T* data, size_t count, int root)
{
    const size_t piece = size_t(1) << 30;
    for (size_t done = 0; done < count; done += piece) {
        const int n = int(std::min(piece, count - done));
        check(MPI_Bcast(data + done, n, Engine::mpiTypeOf(data), root, comm.handle()), "MPI_Bcast");
    }
}

} // namespace Quelt::Distributed
