// queltfloor's direct calls: a loop of the very CBLAS call (or ONNX Runtime run) that queltcore
// makes, run and timed in C++ on the storage of queltcore's own containers. Called from the
// Python process that times queltcore, they take turns with it block by block, so that a
// burst of load on the shared machine falls on both alike.
#include <chrono>
#include <complex>
#include <ctime>
#include <stdexcept>
#include <string>

#include <pybind11/complex.h>
#include <pybind11/pybind11.h>

#include "operations/blas"
#include "types/Matrix"
#include "types/Vector"
// The module's own container casters.
#include "casters.hpp"

#include "direct_session.hpp"
#include "single_overload.hpp"

namespace QueltBench {
namespace {

namespace py = pybind11;
namespace Blas = Quelt::Blas;

// The same clocks as the harness: this thread's CPU time for calls that run on it alone, the
// wall clock for a model run, which may use the runtime's threads.
double threadSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + 1e-9 * double(now.tv_nsec);
}

template <typename Call>
double threadTimed(size_t calls, Call&& call)
{
    const double start = threadSeconds();
    for (size_t i = 0; i < calls; ++i) {
        call();
    }
    return threadSeconds() - start;
}

void require(bool condition, const char* what)
{
    if (!condition) {
        throw std::runtime_error(std::string("direct call: ") + what);
    }
}

template <typename T>
void registerDirectCalls(py::module_& m)
{
    using Mat = Quelt::Matrix<T>;
    using Vec = Quelt::Vector<T>;
    m.def("direct_gemm", [](size_t calls, T a, T b, const Mat& A, const Mat& X, Mat& Y) {
        require(A.template dim<1>() == X.template dim<0>() && A.template dim<0>() == Y.template dim<0>()
                    && X.template dim<1>() == Y.template dim<1>(),
                "gemm shapes disagree");
        const blasint rows = blasint(A.template dim<0>());
        const blasint cols = blasint(X.template dim<1>());
        const blasint inner = blasint(A.template dim<1>());
        return threadTimed(calls, [&] {
            Blas::gemm(rows, cols, inner, a, A.get(), rows, X.get(), inner, b, Y.get(), rows);
        });
    });
    m.def("direct_gemv", [](size_t calls, T a, T b, const Mat& A, const Vec& x, Vec& y) {
        require(x.numel() == A.template dim<1>() && y.numel() == A.template dim<0>(), "gemv shapes disagree");
        const blasint rows = blasint(A.template dim<0>());
        const blasint cols = blasint(A.template dim<1>());
        return threadTimed(calls, [&] { Blas::gemv(rows, cols, a, A.get(), rows, x.get(), b, y.get()); });
    });
    m.def("direct_axpy", [](size_t calls, T alpha, const Vec& x, Vec& y) {
        require(x.numel() <= y.numel(), "axpy: y is shorter than x");
        const blasint n = blasint(x.numel());
        return threadTimed(calls, [&] { Blas::axpy(n, alpha, x.get(), y.get()); });
    });
    m.def("direct_dot", [](size_t calls, const Vec& x, Vec& y) {
        require(x.numel() <= y.numel(), "dot: y is shorter than x");
        const blasint n = blasint(x.numel());
        // The result is kept, as the Python call hands it back.
        T total{};
        const double seconds = threadTimed(calls, [&] { total += Blas::dot(n, x.get(), y.get()); });
        asm volatile("" : : "g"(&total) : "memory");
        return seconds;
    });
}

} // namespace

void registerDirect(py::module_& m)
{
    registerDirectCalls<float>(m);
    registerDirectCalls<double>(m);
    registerDirectCalls<std::complex<float>>(m);
    registerDirectCalls<std::complex<double>>(m);
    // The model class's run, as the C++ floor makes it, on a session of this process's own.
    m.def("direct_run", [](size_t calls, const std::string& path) {
        DirectSession& session = openSession(path);
        const auto start = std::chrono::steady_clock::now();
        for (size_t i = 0; i < calls; ++i) {
            session.run();
        }
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    });
}

} // namespace QueltBench
