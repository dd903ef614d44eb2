// queltfloor's baselines of quelt's conversions: plain C++ loops converting one contiguous
// buffer's elements into another's type, the same with a row-major to column-major reordering,
// and a fresh allocation (as a new container makes one) plus a memcpy. Thread CPU time, as the
// harness times quelt's calls beside them.
#include <complex>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

#include <pybind11/pybind11.h>

#include "single_overload.hpp"
#include "thread_clock.hpp"

namespace QueltBench {
namespace {

namespace py = pybind11;

// A contiguous buffer's memory and element count, its format checked.
template <typename T>
T* elementsOf(const py::buffer_info& info, const char* format, size_t& count)
{
    std::string given = info.format;
    if (!given.empty() && (given[0] == '@' || given[0] == '<' || given[0] == '=')) {
        given.erase(0, 1);
    }
    if (given != format || size_t(info.itemsize) != sizeof(T)) {
        throw std::invalid_argument(std::string("direct conversion: a buffer of format ") + format + " was expected");
    }
    py::ssize_t step = info.itemsize;
    for (py::ssize_t d = info.ndim; d-- > 0;) {
        if (info.shape[d] > 1 && info.strides[d] != step) {
            throw std::invalid_argument("direct conversion: the buffer is not row-major contiguous");
        }
        step *= info.shape[d];
    }
    count = size_t(info.size);
    return static_cast<T*>(info.ptr);
}

template <typename To, typename From>
double convertLoop(size_t calls, const py::buffer& destination, const py::buffer& source, const char* to,
                   const char* from)
{
    const py::buffer_info out = destination.request(true), in = source.request();
    size_t n = 0, m = 0;
    To* target = elementsOf<To>(out, to, n);
    const From* values = elementsOf<From>(in, from, m);
    if (n != m) {
        throw std::invalid_argument("direct conversion: the buffers' element counts differ");
    }
    return threadTimed(calls, [&] {
        for (size_t i = 0; i < n; ++i) {
            target[i] = To(values[i]);
        }
        asm volatile("" : : : "memory");
    });
}

} // namespace

void registerDirectConversion(py::module_& m)
{
    m.def("direct_convert", [](size_t calls, const py::buffer& destination, const py::buffer& source) {
        const std::string from = source.request().format, to = destination.request().format;
        if (from.back() == 'd' && to.back() == 'f') {
            return convertLoop<float, double>(calls, destination, source, "f", "d");
        }
        if (from.back() == 'i' && to.back() == 'd') {
            return convertLoop<double, int32_t>(calls, destination, source, "d", "i");
        }
        throw std::invalid_argument("direct conversion: float64 to float32 or int32 to float64 only");
    });
    // A row-major float64 rows x cols buffer into column-major complex64 storage (a matc's): the
    // plain loop down each column.
    m.def("direct_transpose_convert", [](size_t calls, const py::buffer& destination, const py::buffer& source,
                                         size_t rows, size_t cols) {
        const py::buffer_info out = destination.request(true), in = source.request();
        size_t n = 0, k = 0;
        auto* target = static_cast<std::complex<float>*>(out.ptr);
        n = size_t(out.size);
        const double* values = elementsOf<double>(in, "d", k);
        if (out.itemsize != 8 || n != rows * cols || k != n) {
            throw std::invalid_argument("direct conversion: a complex64 destination of rows x cols was expected");
        }
        return threadTimed(calls, [&] {
            for (size_t j = 0; j < cols; ++j) {
                for (size_t i = 0; i < rows; ++i) {
                    target[i + j * rows] = std::complex<float>(float(values[i * cols + j]), 0.0f);
                }
            }
            asm volatile("" : : : "memory");
        });
    });
    // A new block of the source's size, as a container's storage is made, and one memcpy into it.
    m.def("direct_fresh_copy", [](size_t calls, const py::buffer& source) {
        const py::buffer_info in = source.request();
        size_t n = 0;
        const double* values = elementsOf<double>(in, "d", n);
        return threadTimed(calls, [&] {
            std::shared_ptr<double[]> block = std::make_shared_for_overwrite<double[]>(n);
            std::memcpy(block.get(), values, n * sizeof(double));
            asm volatile("" : : "r"(block.get()) : "memory");
        });
    });
}

} // namespace QueltBench
