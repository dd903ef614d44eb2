// Entry point of quelt._distributed: the job's communicators over MPI. Only this module links MPI.
#include <pybind11/pybind11.h>

#include <cstdlib>
#include <thread>

#include "distributed/Comm.hpp"

namespace py = pybind11;
using Quelt::Distributed::Comm;

namespace {

std::thread::id g_mpiThread;
bool g_mpiThreadKnown = false;

// MPI is serialized to the thread that started it.
void refuseOtherThreads()
{
    if (g_mpiThreadKnown && std::this_thread::get_id() != g_mpiThread) {
        throw std::runtime_error("MPI calls are made from the thread that started MPI only");
    }
}

template <typename F>
auto released(F&& f)
{
    refuseOtherThreads();
    py::gil_scoped_release unlock;
    return f();
}

} // namespace

PYBIND11_MODULE(_distributed, m)
{
    py::class_<Comm>(m, "Comm")
        .def_property_readonly("rank", [](const Comm& c) { return released([&] { return c.rank(); }); })
        .def_property_readonly("size", [](const Comm& c) { return released([&] { return c.size(); }); })
        .def("barrier", [](const Comm& c) { released([&] { c.barrier(); return 0; }); })
        .def("split", [](const Comm& c, int color, int key) {
            return released([&] { return c.split(color, key); });
        }, py::arg("color"), py::arg("key") = 0)
        .def_property_readonly("fortran_handle", [](const Comm& c) { return static_cast<long>(c.fortranHandle()); })
        .def_static("from_fortran_handle", [](long h) {
            return released([&] { return Comm::fromFortran(static_cast<MPI_Fint>(h)); });
        });

    m.def("world", [] {
        refuseOtherThreads();
        Comm c = released([] { return Comm::world(); });
        if (!g_mpiThreadKnown) {
            g_mpiThread = std::this_thread::get_id();
            g_mpiThreadKnown = true;
        }
        return c;
    });
    m.def("started", [] { int s = 0; MPI_Initialized(&s); return s != 0; });
    m.def("finalize", [] { refuseOtherThreads(); released([] { Quelt::Distributed::finishIfStarted(); return 0; }); });
    // Ends every rank of the job at once; a rank that outlived MPI just exits.
    m.def("abort", [](int status) {
        int started = 0, finished = 0;
        MPI_Initialized(&started);
        MPI_Finalized(&finished);
        if (started && !finished) {
            py::gil_scoped_release unlock;
            MPI_Abort(MPI_COMM_WORLD, status);
        }
        std::_Exit(status);
    });
}
