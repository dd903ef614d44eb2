// Entry point of quelt._distributed: communicators, process grids, distributed matrices and
// their operations over MPI and ScaLAPACK. Only this module links MPI; importing it starts
// nothing, world() starts MPI.
#include <pybind11/complex.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdlib>
#include <mutex>
#include <optional>

#include "types.hpp"

#include "distributed/Operations.hpp"
#include "distributed/Transfer.hpp"

namespace py = pybind11;
namespace hana = boost::hana;
using namespace Quelt::Distributed;
using Quelt::Matrix;
using Quelt::Vector;
using Quelt::VectorView;

namespace {

// Every MPI and engine call runs with the interpreter lock released, from the thread that
// started MPI, while MPI runs.
template <typename F>
auto released(F&& f)
{
    if (!mpiRunning()) {
        throw std::runtime_error("MPI is not running in this process: it was finalized");
    }
    requireMpiThread();
    py::gil_scoped_release unlock;
    return f();
}

std::shared_ptr<Comm> world()
{
    static std::mutex starting;
    py::gil_scoped_release unlock;
    std::lock_guard<std::mutex> hold(starting);
    return Comm::world();
}

std::pair<long long, long long> pairOf(py::handle value, const char* what)
{
    try {
        if (PyLong_Check(value.ptr()) && std::string(what) == "block") {
            const long long b = value.cast<long long>();
            return {b, b};
        }
        if (!PySequence_Check(value.ptr()) || PySequence_Size(value.ptr()) != 2) {
            throw py::cast_error();
        }
        return value.cast<std::pair<long long, long long>>();
    } catch (const py::cast_error&) {
        throw py::type_error(std::string(what) + " must be "
                             + (std::string(what) == "block" ? "an int or " : "") + "a (rows, cols) pair of ints");
    }
}

// A scalar as the operands' element type, or a note that it is not one (see Scalar). Converted
// with the interpreter lock held, before the call releases it.
template <typename T>
Scalar<T> scalarOf(py::handle value)
{
    py::detail::make_caster<T> caster;
    if (caster.load(value, true)) {
        return {py::detail::cast_op<T>(caster), true};
    }
    PyErr_Clear();
    return {};
}

template <typename Tag>
using ElementOf = typename std::remove_pointer_t<Tag>::SampleType;

py::object toPython(const LocalBlock& block)
{
    return std::visit(
        [](const auto& m) -> py::object {
            if constexpr (std::is_same_v<std::decay_t<decltype(m)>, std::monostate>) {
                return py::none();
            } else {
                return py::cast(m);
            }
        },
        block);
}

// The core matrix M as a local block, or nothing when M is not one.
std::optional<LocalBlock> matrixOf(py::handle M)
{
    std::optional<LocalBlock> out;
    for (size_t i = 0; i < elementCount && !out; ++i) {
        withElement(i, [&](auto* tag) {
            using T = ElementOf<decltype(tag)>;
            if (py::isinstance<Matrix<T>>(M)) {
                out.emplace(std::in_place_type<Matrix<T>>, M.cast<const Matrix<T>&>());
            }
        });
    }
    return out;
}

py::object broadcast(const Comm& comm, py::object c, int root)
{
    const bool atRoot = released([&] { return comm.rank(); }) == root;
    Parcel parcel;
    void* data = nullptr;
    if (atRoot) {
        hana::for_each(Quelt::Python::operationsSet, [&](auto type) {
            using T = typename decltype(type)::type;
            const auto kind = [&](long long k, auto* container, size_t rows, size_t cols) {
                parcel = {k, (long long)elementIndexOf<T>(), (long long)rows, (long long)cols};
                data = container->get();
            };
            if (py::isinstance<Vector<T>>(c)) {
                auto& v = c.cast<Vector<T>&>();
                kind(0, &v, v.numel(), 1);
            } else if (py::isinstance<VectorView<T>>(c)) {
                auto& v = c.cast<VectorView<T>&>();
                kind(0, &v, v.numel(), 1);
            } else if (py::isinstance<Matrix<T>>(c)) {
                auto& m = c.cast<Matrix<T>&>();
                kind(1, &m, m.template dim<0>(), m.template dim<1>());
            }
        });
    }
    parcel = released([&] { return broadcastParcel(comm, parcel, root); });
    return withElement(size_t(parcel.element), [&](auto* tag) -> py::object {
        using T = ElementOf<decltype(tag)>;
        const size_t count = size_t(parcel.rows) * size_t(parcel.cols);
        if (atRoot) {
            released([&] { broadcastElements(comm, static_cast<T*>(data), count, root); });
            return c;
        }
        if (parcel.kind == 0) {
            Vector<T> v(size_t(parcel.rows), Quelt::ForOverwrite{});
            released([&] { broadcastElements(comm, v.get(), count, root); });
            return py::cast(std::move(v));
        }
        Matrix<T> m(size_t(parcel.rows), size_t(parcel.cols), Quelt::ForOverwrite{});
        released([&] { broadcastElements(comm, m.get(), count, root); });
        return py::cast(std::move(m));
    });
}

// The products with their scalars; matmul and matvec are these with a = b = 1.
DistMatrix& gemmBound(py::object a, py::object b, const DistMatrix& A, const DistMatrix& X, DistMatrix& Y)
{
    withElement(A.element(), [&](auto* tag) {
        using T = ElementOf<decltype(tag)>;
        const auto sa = scalarOf<T>(a), sb = scalarOf<T>(b);
        released([&] { gemm<T>(sa, sb, A, X, Y); });
    });
    return Y;
}

DistMatrix& gemvBound(py::object a, py::object b, const DistMatrix& A, const DistMatrix& x, DistMatrix& y)
{
    withElement(A.element(), [&](auto* tag) {
        using T = ElementOf<decltype(tag)>;
        const auto sa = scalarOf<T>(a), sb = scalarOf<T>(b);
        released([&] { gemv<T>(sa, sb, A, x, y); });
    });
    return y;
}

void registerOperations(py::module_& m)
{
    const auto ref = py::return_value_policy::reference;
    const py::int_ one(1);
    m.def("gemm", &gemmBound, ref, "Y := a A X + b Y, in place; returns Y", py::arg("a"), py::arg("b"), py::arg("A"),
          py::arg("X"), py::arg("Y"));
    m.def(
        "matmul", [one](const DistMatrix& A, const DistMatrix& X, DistMatrix& Y) -> DistMatrix& {
            return gemmBound(one, one, A, X, Y);
        },
        ref, "Y := A X + Y, in place; returns Y", py::arg("A"), py::arg("X"), py::arg("Y"));
    m.def("gemv", &gemvBound, ref, "y := a A x + b y over the first columns of x and y, in place; returns y",
          py::arg("a"), py::arg("b"), py::arg("A"), py::arg("x"), py::arg("y"));
    m.def(
        "matvec", [one](const DistMatrix& A, const DistMatrix& x, DistMatrix& y) -> DistMatrix& {
            return gemvBound(one, one, A, x, y);
        },
        ref, "y := A x + y, in place; returns y", py::arg("A"), py::arg("x"), py::arg("y"));
    m.def(
        "ls",
        [](const DistMatrix& A, DistMatrix& B) -> DistMatrix& {
            withElement(A.element(), [&](auto* tag) { released([&] { ls<ElementOf<decltype(tag)>>(A, B); }); });
            return B;
        },
        ref,
        "Least squares (or minimum norm) for every column of B, in place: B's first n rows hold the "
        "solutions, A its factorisation; returns B",
        py::arg("A"), py::arg("B"));
    m.def(
        "scale",
        [](py::object alpha, DistMatrix& x) -> DistMatrix& {
            withElement(x.element(), [&](auto* tag) {
                using T = ElementOf<decltype(tag)>;
                const auto s = scalarOf<T>(alpha);
                released([&] { scale<T>(s, x); });
            });
            return x;
        },
        ref, "x := alpha x, in place; returns x", py::arg("alpha"), py::arg("x"));
    m.def(
        "axpy",
        [](py::object alpha, const DistMatrix& x, DistMatrix& y) -> DistMatrix& {
            withElement(x.element(), [&](auto* tag) {
                using T = ElementOf<decltype(tag)>;
                const auto s = scalarOf<T>(alpha);
                released([&] { axpy<T>("axpy", s, x, y); });
            });
            return y;
        },
        ref, "y := alpha x + y, in place; returns y", py::arg("alpha"), py::arg("x"), py::arg("y"));
    m.def(
        "sum",
        [](const DistMatrix& x, DistMatrix& y) -> DistMatrix& {
            withElement(x.element(), [&](auto* tag) {
                using T = ElementOf<decltype(tag)>;
                released([&] { axpy<T>("axpy", {T(1), true}, x, y); });
            });
            return y;
        },
        ref, "y := x + y, in place; returns y", py::arg("x"), py::arg("y"));
    m.def(
        "copy",
        [](const DistMatrix& x, DistMatrix& y) -> DistMatrix& {
            withElement(x.element(), [&](auto* tag) { released([&] { copy<ElementOf<decltype(tag)>>(x, y); }); });
            return y;
        },
        ref, "x's elements into the first of y; returns y", py::arg("x"), py::arg("y"));
    m.def(
        "swap",
        [](DistMatrix& x, DistMatrix& y) {
            withElement(x.element(), [&](auto* tag) { released([&] { swap<ElementOf<decltype(tag)>>(x, y); }); });
        },
        "exchanges x's elements with the first of y", py::arg("x"), py::arg("y"));
    for (const char* name : {"dot", "hdot"}) {
        m.def(
            name,
            [name](const DistMatrix& x, const DistMatrix& y) {
                return withElement(x.element(), [&](auto* tag) -> py::object {
                    using T = ElementOf<decltype(tag)>;
                    return py::cast(released([&] { return dot<T>(name, x, y); }));
                });
            },
            std::string(name) == "dot" ? "sum of x[i] y[i], on every rank" : "sum of conj(x[i]) y[i], on every rank",
            py::arg("x"), py::arg("y"));
    }
}

} // namespace

PYBIND11_MODULE(_distributed, m)
{
    // The containers are queltcore's: importing it registers them with pybind11, whose
    // registry the modules share.
    py::module_::import("queltcore");
    // Local: only this module's functions throw ScalarError, and a translator of the whole
    // process would make every other module's refusals take the translators' slow path.
    py::register_local_exception_translator([](std::exception_ptr p) {
        try {
            if (p) {
                std::rethrow_exception(p);
            }
        } catch (const ScalarError& e) {
            PyErr_SetString(PyExc_TypeError, e.what());
        }
    });

    py::class_<Comm, std::shared_ptr<Comm>>(m, "Comm", "A communicator: a group of the job's processes")
        .def_property_readonly("rank", [](const Comm& c) { return released([&] { return c.rank(); }); })
        .def_property_readonly("size", [](const Comm& c) { return released([&] { return c.size(); }); })
        .def("barrier", [](const Comm& c) { released([&] { c.barrier(); }); })
        .def("bcast", &broadcast, "the root's core container, as an equal container on every rank", py::arg("c"),
             py::arg("root") = 0)
        .def(
            "split",
            [](const Comm& c, int color, int key) {
                if (color < 0) {
                    throw std::runtime_error("In split, color " + std::to_string(color)
                                             + " is negative: colors are 0 or more");
                }
                return released([&] { return c.split(color, key); });
            },
            "a communicator of the ranks with the same color, ordered by key, then by rank", py::arg("color"),
            py::arg("key") = 0)
        .def_property_readonly("fortran_handle", [](const Comm& c) { return int(c.fortranHandle()); })
        .def_static(
            "from_fortran_handle",
            [](int handle) {
                auto comm = world();
                return released([&] { return Comm::fromFortran(MPI_Fint(handle)); });
            },
            "the communicator of a Fortran handle (mpi4py: comm.py2f())", py::arg("handle"));

    m.def("world", &world, "every process of the job; MPI starts on the first call");

    py::class_<Grid, std::shared_ptr<Grid>>(m, "Grid", "A 2-D process grid over a communicator")
        .def(py::init([](py::object comm, py::object shape) {
                 std::shared_ptr<Comm> c = comm.is_none() ? world() : comm.cast<std::shared_ptr<Comm>>();
                 std::pair<long long, long long> s;
                 if (shape.is_none()) {
                     s = Grid::defaultShape(released([&] { return c->size(); }));
                 } else {
                     s = pairOf(shape, "shape");
                 }
                 if (s.first < 1 || s.second < 1 || s.first > INT_MAX || s.second > INT_MAX) {
                     throw std::runtime_error("a grid needs at least one row and one column of processes");
                 }
                 return released([&] { return std::make_shared<Grid>(c, int(s.first), int(s.second)); });
             }),
             py::arg("comm") = py::none(), py::arg("shape") = py::none())
        .def_property_readonly("shape", [](const Grid& g) { return std::make_pair(g.rows(), g.cols()); })
        .def_property_readonly("coords", [](const Grid& g) { return std::make_pair(g.row(), g.col()); })
        .def_property_readonly("comm", &Grid::comm);

    const auto make = [](std::shared_ptr<Grid> grid, py::object shape, const std::string& dtype, py::object block) {
        const auto s = pairOf(shape, "shape");
        const auto b = pairOf(block, "block");
        return DistMatrix(std::move(grid), s.first, s.second, elementFromName(dtype), b.first, b.second);
    };
    py::class_<DistMatrix>(m, "DistMatrix", "A matrix in 2-D block-cyclic distribution over a process grid")
        .def(py::init(make), py::arg("grid"), py::arg("shape"), py::arg("dtype") = "float64",
             py::arg("block") = 64)
        .def_static(
            "scatter",
            [](std::shared_ptr<Grid> grid, py::object M, int root, py::object block) {
                const auto b = pairOf(block, "block");
                const bool atRoot = released([&] { return grid->comm()->rank(); }) == root;
                const std::optional<LocalBlock> source = atRoot ? matrixOf(M) : std::nullopt;
                return released([&] { return scatter(grid, source ? &*source : nullptr, root, b.first, b.second); });
            },
            "the root's core matrix M, distributed", py::arg("grid"), py::arg("M"), py::arg("root") = 0,
            py::arg("block") = 64)
        .def_static(
            "from_function",
            [make](std::shared_ptr<Grid> grid, py::object shape, py::object fill, const std::string& dtype,
                   py::object block) {
                DistMatrix A = make(std::move(grid), shape, dtype, block);
                fill(A.globalRows(), A.globalCols(), toPython(A.local()));
                return A;
            },
            "a matrix each rank fills: fill(rows, cols, local) gets the global indices of its local block's rows "
            "and columns and the local block",
            py::arg("grid"), py::arg("shape"), py::arg("fill"), py::arg("dtype") = "float64", py::arg("block") = 64)
        .def_property_readonly("local", [](const DistMatrix& A) { return toPython(A.local()); })
        .def_property_readonly("shape", [](const DistMatrix& A) { return std::make_pair(A.rows(), A.cols()); })
        .def_property_readonly("dtype", &DistMatrix::elementName)
        .def_property_readonly("block",
                               [](const DistMatrix& A) { return std::make_pair(A.rowBlock(), A.colBlock()); })
        .def_property_readonly("grid", &DistMatrix::grid)
        .def_property_readonly("global_rows", &DistMatrix::globalRows)
        .def_property_readonly("global_cols", &DistMatrix::globalCols)
        .def(
            "gather",
            [](const DistMatrix& A, int root) -> py::object {
                auto out = released([&] { return gather(A, root); });
                return out ? toPython(*out) : py::none();
            },
            "the whole matrix as a core matrix on root, None elsewhere", py::arg("root") = 0)
        .def(
            "redistribute",
            [](const DistMatrix& A, py::object grid, py::object block) {
                auto target = grid.is_none() ? A.grid() : grid.cast<std::shared_ptr<Grid>>();
                const auto b = block.is_none() ? std::pair<long long, long long>(A.rowBlock(), A.colBlock())
                                               : pairOf(block, "block");
                return released([&] { return redistribute(A, target, b.first, b.second); });
            },
            "a new DistMatrix of the same elements on another grid or block size", py::arg("grid") = py::none(),
            py::arg("block") = py::none())
        .def("__repr__", [](const DistMatrix& A) {
            return "DistMatrix((" + std::to_string(A.rows()) + ", " + std::to_string(A.cols()) + "), dtype='"
                   + A.elementName() + "', block=(" + std::to_string(A.rowBlock()) + ", "
                   + std::to_string(A.colBlock()) + "))";
        });

    registerOperations(m);

    m.def("_started", [] {
        int started = 0;
        MPI_Initialized(&started);
        return started != 0;
    });
    m.def("_finalize", [] {
        if (mpiRunning()) {
            requireMpiThread();
            py::gil_scoped_release unlock;
            finishIfStarted();
        }
    });
    // Ends every rank of the job at once; a process without MPI just exits.
    m.def("_abort", [](int status) {
        if (mpiRunning()) {
            py::gil_scoped_release unlock;
            MPI_Abort(MPI_COMM_WORLD, status);
        }
        std::_Exit(status);
    });
    // The agreement alone, for measuring what it adds to a call.
    m.def("_agree", [](const Grid& grid) { released([&] { agree(*grid.comm(), "agree", 0); }); });
}
