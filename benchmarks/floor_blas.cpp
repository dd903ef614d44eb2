// The C++ floor: each operation's CBLAS or LAPACKE routine called directly on plain arrays,
// with the arguments queltcore passes, at the latency sizes and at the throughput sizes.
#include <algorithm>
#include <complex>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>

// The routines are reached through the project's boundary header: one inline call per element
// type, the very call each operation makes after its checks.
#include "operations/blas.hpp"

#include "floor.hpp"

namespace QueltBench {
namespace {

namespace Blas = Quelt::Blas;

template <typename T>
std::vector<T> operand(size_t n)
{
    return std::vector<T>(n, operandValue<T>());
}

template <typename T>
T one()
{
    return T(1);
}

template <typename Fn>
void add(const std::string& name, Fn&& fn)
{
    benchmark::RegisterBenchmark(name.c_str(), std::forward<Fn>(fn))->Unit(benchmark::kMicrosecond);
}

template <typename T>
void vectorLatency(const std::string& letter, size_t n)
{
    const std::string tail = "/" + letter + "/" + sizeLabel(n);
    const blasint count = blasint(n);
    add("latency/scale" + tail, [=](benchmark::State& state) {
        auto x = operand<T>(n);
        // -1 keeps the values bounded; OpenBLAS returns early for 1.
        const T alpha = T(-1);
        for (auto _ : state) {
            Blas::scal(count, alpha, x.data());
            benchmark::ClobberMemory();
        }
    });
    add("latency/axpy" + tail, [=](benchmark::State& state) {
        auto x = operand<T>(n);
        auto y = operand<T>(n);
        const T alpha = T(0.5);
        for (auto _ : state) {
            Blas::axpy(count, alpha, x.data(), y.data());
            benchmark::ClobberMemory();
        }
    });
    add("latency/sum" + tail, [=](benchmark::State& state) {
        auto x = operand<T>(n);
        auto y = operand<T>(n);
        for (auto _ : state) {
            Blas::axpy(count, one<T>(), x.data(), y.data());
            benchmark::ClobberMemory();
        }
    });
    add("latency/copy" + tail, [=](benchmark::State& state) {
        auto x = operand<T>(n);
        auto y = operand<T>(n);
        for (auto _ : state) {
            Blas::copy(count, x.data(), y.data());
            benchmark::ClobberMemory();
        }
    });
    add("latency/swap" + tail, [=](benchmark::State& state) {
        auto x = operand<T>(n);
        auto y = operand<T>(n);
        for (auto _ : state) {
            Blas::swap(count, x.data(), y.data());
            benchmark::ClobberMemory();
        }
    });
    add("latency/dot" + tail, [=](benchmark::State& state) {
        auto x = operand<T>(n);
        auto y = operand<T>(n);
        for (auto _ : state) {
            benchmark::DoNotOptimize(Blas::dot(count, x.data(), y.data()));
        }
    });
    if constexpr (!std::is_floating_point_v<T>) {
        add("latency/hdot" + tail, [=](benchmark::State& state) {
            auto x = operand<T>(n);
            auto y = operand<T>(n);
            for (auto _ : state) {
                benchmark::DoNotOptimize(Blas::hdot(count, x.data(), y.data()));
            }
        });
    }
}

template <typename T>
void matrixLatency(const std::string& letter, std::pair<size_t, size_t> shape)
{
    const std::string tail = "/" + letter + "/" + sizeLabel(shape);
    const size_t m = shape.first;
    const size_t n = shape.second;
    const blasint rows = blasint(m);
    const blasint cols = blasint(n);

    // y := A x with A m x n; matvec is the same call accumulating (b = 1).
    auto gemvCase = [=](T a, T b) {
        return [=](benchmark::State& state) {
            auto A = operand<T>(m * n);
            auto x = operand<T>(n);
            auto y = operand<T>(m);
            for (auto _ : state) {
                Blas::gemv(rows, cols, a, A.data(), rows, x.data(), b, y.data());
                benchmark::ClobberMemory();
            }
        };
    };
    add("latency/gemv" + tail, gemvCase(one<T>(), T(0)));
    add("latency/matvec" + tail, gemvCase(one<T>(), one<T>()));

    // Y := A X with A m x n, X n x n, Y m x n; matmul accumulates.
    auto gemmCase = [=](T a, T b) {
        return [=](benchmark::State& state) {
            auto A = operand<T>(m * n);
            auto X = operand<T>(n * n);
            auto Y = operand<T>(m * n);
            for (auto _ : state) {
                Blas::gemm(rows, cols, cols, a, A.data(), rows, X.data(), cols, b, Y.data(), rows);
                benchmark::ClobberMemory();
            }
        };
    };
    add("latency/gemm" + tail, gemmCase(one<T>(), T(0)));
    add("latency/matmul" + tail, gemmCase(one<T>(), one<T>()));

    // gels consumes A and b, so every call starts from fresh copies; the copies alone are
    // measured too and the report subtracts them, as it does for the Python calls.
    const size_t rhs = std::max(m, n);
    add("latency/ls" + tail, [=](benchmark::State& state) {
        const auto A0 = lsMatrix<T>(m, n);
        const auto b0 = operand<T>(rhs);
        auto A = A0;
        auto b = b0;
        for (auto _ : state) {
            std::copy(A0.begin(), A0.end(), A.begin());
            std::copy(b0.begin(), b0.end(), b.begin());
            benchmark::DoNotOptimize(Blas::gels(rows, cols, A.data(), rows, b.data(), blasint(rhs)));
            benchmark::ClobberMemory();
        }
    });
    add("latency/ls-restore" + tail, [=](benchmark::State& state) {
        const auto A0 = lsMatrix<T>(m, n);
        const auto b0 = operand<T>(rhs);
        auto A = A0;
        auto b = b0;
        for (auto _ : state) {
            std::copy(A0.begin(), A0.end(), A.begin());
            std::copy(b0.begin(), b0.end(), b.begin());
            benchmark::ClobberMemory();
        }
    });
}

template <typename T>
void latency(const std::string& letter)
{
    for (size_t n : vectorSizes) {
        vectorLatency<T>(letter, n);
    }
    for (auto shape : matrixSizes) {
        matrixLatency<T>(letter, shape);
    }
}

// Large sizes: gemm for every type, the memory-bound gemv, axpy and dot for the real ones.
template <typename T>
void throughput(const std::string& letter)
{
    const bool complexType = !std::is_floating_point_v<T>;
    for (size_t n : complexType ? complexGemmSizes : realGemmSizes) {
        add("throughput/gemm/" + letter + "/" + std::to_string(n), [n](benchmark::State& state) {
            auto A = operand<T>(n * n);
            auto X = operand<T>(n * n);
            auto Y = operand<T>(n * n);
            const blasint k = blasint(n);
            for (auto _ : state) {
                Blas::gemm(k, k, k, one<T>(), A.data(), k, X.data(), k, T(0), Y.data(), k);
                benchmark::ClobberMemory();
            }
        });
    }
    if (complexType) {
        return;
    }
    for (size_t n : gemvSizes) {
        add("throughput/gemv/" + letter + "/" + std::to_string(n), [n](benchmark::State& state) {
            auto A = operand<T>(n * n);
            auto x = operand<T>(n);
            auto y = operand<T>(n);
            const blasint k = blasint(n);
            for (auto _ : state) {
                Blas::gemv(k, k, one<T>(), A.data(), k, x.data(), T(0), y.data());
                benchmark::ClobberMemory();
            }
        });
    }
    for (size_t n : streamSizes) {
        add("throughput/axpy/" + letter + "/" + std::to_string(n), [n](benchmark::State& state) {
            auto x = operand<T>(n);
            auto y = operand<T>(n);
            for (auto _ : state) {
                Blas::axpy(blasint(n), T(0.5), x.data(), y.data());
                benchmark::ClobberMemory();
            }
        });
        add("throughput/dot/" + letter + "/" + std::to_string(n), [n](benchmark::State& state) {
            auto x = operand<T>(n);
            auto y = operand<T>(n);
            for (auto _ : state) {
                benchmark::DoNotOptimize(Blas::dot(blasint(n), x.data(), y.data()));
            }
        });
    }
}

// The shared objects of one kind that the process has mapped, read from /proc/self/maps.
std::string mappedLibraries(const std::string& fragment)
{
    std::ifstream maps("/proc/self/maps");
    std::vector<std::string> found;
    std::string line;
    while (std::getline(maps, line)) {
        const auto slash = line.find('/');
        if (slash == std::string::npos) {
            continue;
        }
        const std::string path = line.substr(slash);
        if (path.find(fragment) != std::string::npos && std::find(found.begin(), found.end(), path) == found.end()) {
            found.push_back(path);
        }
    }
    std::string joined;
    for (const auto& path : found) {
        joined += (joined.empty() ? "" : " ") + path;
    }
    return joined;
}

} // namespace

void registerBlasLatency()
{
    latency<float>("s");
    latency<double>("d");
    latency<std::complex<float>>("c");
    latency<std::complex<double>>("z");
}

void registerBlasThroughput()
{
    throughput<float>("s");
    throughput<double>("d");
    throughput<std::complex<float>>("c");
    throughput<std::complex<double>>("z");
}

void addBlasContext()
{
    benchmark::AddCustomContext("openblas_config", openblas_get_config());
    benchmark::AddCustomContext("openblas_corename", openblas_get_corename());
    benchmark::AddCustomContext("openblas_threads", std::to_string(openblas_get_num_threads()));
    benchmark::AddCustomContext("blas_libraries", mappedLibraries("blas"));
    benchmark::AddCustomContext("lapack_libraries", mappedLibraries("lapack"));
}

} // namespace QueltBench
