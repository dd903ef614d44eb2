// queltfloor's direct calls: a loop of the very CBLAS call (or ONNX Runtime run) that queltcore
// makes, run and timed in C++ on the storage of queltcore's own containers; the memcpy that
// quelt's buffer paths are held against; the runtime's Run on the very memory that
// quelt.Session is fed. Called from the Python process that times queltcore and quelt, they
// take turns with it block by block, so that a burst of load on the shared machine falls on
// both alike.
#include <chrono>
#include <complex>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include <pybind11/complex.h>
#include <pybind11/pybind11.h>

#include "operations/blas.hpp"
#include "types/Matrix.hpp"
#include "types/Vector.hpp"
// The module's own container casters.
#include "casters.hpp"

#include "direct_session.hpp"
#include "single_overload.hpp"
#include "thread_clock.hpp"

namespace QueltBench {
namespace {

namespace py = pybind11;
namespace Blas = Quelt::Blas;

void require(bool condition, const char* what)
{
    if (!condition) {
        throw std::runtime_error(std::string("direct call: ") + what);
    }
}

// The wall clock, for a model run, which may use the runtime's threads (thread_clock.hpp has
// the other).
template <typename Call>
double wallTimed(size_t calls, Call&& call)
{
    const auto start = std::chrono::steady_clock::now();
    for (size_t i = 0; i < calls; ++i) {
        call();
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Whether a buffer's elements lie in one piece, last index fastest (or first index fastest).
bool contiguous(const py::buffer_info& info, bool rowMajor)
{
    py::ssize_t expected = info.itemsize;
    for (py::ssize_t k = 0; k < info.ndim; ++k) {
        const size_t d = size_t(rowMajor ? info.ndim - 1 - k : k);
        if (info.shape[d] > 1 && info.strides[d] != expected) {
            return false;
        }
        expected *= info.shape[d];
    }
    return true;
}

size_t contiguousBytes(const py::buffer_info& info, const char* what)
{
    require(contiguous(info, true) || contiguous(info, false), what);
    return size_t(info.size * info.itemsize);
}

// The runtime's element type of a buffer format, by the struct module's codes.
ONNXTensorElementDataType elementType(std::string format, py::ssize_t itemsize)
{
    if (!format.empty() && std::string("@=<").find(format[0]) != std::string::npos) {
        format.erase(0, 1);
    }
    require(format.size() == 1, "a feed's format is not a single element code");
    switch (format[0]) {
    case 'f': return ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT;
    case 'd': return ONNX_TENSOR_ELEMENT_DATA_TYPE_DOUBLE;
    case 'e': return ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT16;
    case 'b': return ONNX_TENSOR_ELEMENT_DATA_TYPE_INT8;
    case 'B': return ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT8;
    case '?': return ONNX_TENSOR_ELEMENT_DATA_TYPE_BOOL;
    case 'h': return ONNX_TENSOR_ELEMENT_DATA_TYPE_INT16;
    case 'H': return ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT16;
    default: break;
    }
    const bool isSigned = std::string("ilq").find(format[0]) != std::string::npos;
    require(isSigned || std::string("ILQ").find(format[0]) != std::string::npos, "a feed's format is not numeric");
    require(itemsize == 4 || itemsize == 8, "a feed's integers are neither 32 nor 64 bits");
    if (itemsize == 4) {
        return isSigned ? ONNX_TENSOR_ELEMENT_DATA_TYPE_INT32 : ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT32;
    }
    return isSigned ? ONNX_TENSOR_ELEMENT_DATA_TYPE_INT64 : ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT64;
}

GraphOptimizationLevel optimizationLevel(const std::string& name)
{
    if (name == "disable") {
        return ORT_DISABLE_ALL;
    }
    if (name == "basic") {
        return ORT_ENABLE_BASIC;
    }
    if (name == "extended") {
        return ORT_ENABLE_EXTENDED;
    }
    require(name == "all", "the optimisation level is none of disable, basic, extended, all");
    return ORT_ENABLE_ALL;
}

// Input tensors over the feeds' own memory (row-major buffers), in the order of their names;
// the buffers' views stay open while the tensors are used.
struct Feeds {
    std::vector<std::string> names;
    std::vector<const char*> namePointers;
    std::vector<py::buffer_info> views;
    std::vector<std::vector<int64_t>> shapes;
    std::vector<Ort::Value> tensors;

    explicit Feeds(const py::dict& feeds)
    {
        for (const auto& [name, value] : feeds) {
            names.push_back(py::cast<std::string>(name));
            views.push_back(py::reinterpret_borrow<py::buffer>(value).request());
            require(contiguous(views.back(), true), "a feed is not row-major");
            shapes.emplace_back(views.back().shape.begin(), views.back().shape.end());
        }
        for (const auto& name : names) {
            namePointers.push_back(name.c_str());
        }
        tensors = make();
    }

    std::vector<Ort::Value> make() const
    {
        const auto memory = Ort::MemoryInfo::CreateCpu(OrtDeviceAllocator, OrtMemTypeCPU);
        std::vector<Ort::Value> made;
        for (size_t i = 0; i < views.size(); ++i) {
            const py::buffer_info& view = views[i];
            made.push_back(Ort::Value::CreateTensor(memory, view.ptr, size_t(view.size * view.itemsize),
                                                    shapes[i].data(), shapes[i].size(),
                                                    elementType(view.format, view.itemsize)));
        }
        return made;
    }
};

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
        return wallTimed(calls, [&] { session.run(); });
    });

    // What the buffer paths of quelt are held against: the same bytes copied by memcpy from one
    // buffer's memory to another's, on this thread's CPU clock.
    m.def("direct_memcpy", [](size_t calls, const py::buffer& destination, const py::buffer& source) {
        const py::buffer_info to = destination.request(true);
        const py::buffer_info from = source.request();
        const size_t bytes = contiguousBytes(to, "the destination is not contiguous");
        require(bytes == contiguousBytes(from, "the source is not contiguous"), "the buffers' sizes differ");
        return threadTimed(calls, [&] {
            std::memcpy(to.ptr, from.ptr, bytes);
            // Every copy is made: none is dropped as overwritten by the next.
            asm volatile("" : : "r"(to.ptr) : "memory");
        });
    });
    // The runtime's Run on a session configured as quelt.Session(path, threads=..., optimization=...)
    // configures its own, fed tensors over the very memory of the buffers in `feeds`, a dict of
    // input name to buffer; on the wall clock, as the runtime may use its thread pool. The
    // tensors and the run options are made once, or (per_run) for every run, as a caller whose
    // data move between runs makes them.
    m.def(
        "direct_session_run",
        [](size_t calls, const std::string& path, const py::dict& feeds, int threads, const std::string& optimization,
           bool perRun) {
            FeedSession& session = openFeedSession(path, threads, optimizationLevel(optimization));
            const Feeds inputs(feeds);
            if (perRun) {
                return wallTimed(calls, [&] {
                    const Ort::RunOptions options;
                    session.run(inputs.namePointers, inputs.make(), options);
                });
            }
            const Ort::RunOptions options;
            return wallTimed(calls, [&] { session.run(inputs.namePointers, inputs.tensors, options); });
        },
        py::arg("calls"), py::arg("path"), py::arg("feeds"), py::arg("threads") = 0, py::arg("optimization") = "all",
        py::arg("per_run") = false);
    // The raw bytes of each output of one such run, for checking that both compute the same.
    m.def(
        "direct_session_outputs",
        [](const std::string& path, const py::dict& feeds, int threads, const std::string& optimization) {
            FeedSession& session = openFeedSession(path, threads, optimizationLevel(optimization));
            const Feeds inputs(feeds);
            py::list found;
            for (Ort::Value& output : session.run(inputs.namePointers, inputs.tensors, Ort::RunOptions{})) {
                const auto info = output.GetTensorTypeAndShapeInfo();
                const auto type = info.GetElementType();
                require(type == ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT || type == ONNX_TENSOR_ELEMENT_DATA_TYPE_DOUBLE
                            || type == ONNX_TENSOR_ELEMENT_DATA_TYPE_INT64,
                        "an output is neither float, double nor int64");
                const size_t bytes = info.GetElementCount() * (type == ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT ? 4 : 8);
                found.append(py::bytes(static_cast<const char*>(output.GetTensorRawData()), bytes));
            }
            return found;
        },
        py::arg("path"), py::arg("feeds"), py::arg("threads") = 0, py::arg("optimization") = "all");
}

} // namespace QueltBench
