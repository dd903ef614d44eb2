// What the C++ floor benchmarks share: the operand values and sizes that the Python side uses
// too, and the registration of each group.
#pragma once

#include <complex>
#include <cstddef>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace QueltBench {

// Sizes of the latency tables and of the large calls; benchmarks/cases.py holds the same lists
// for Python. gemm stops at 1024 for the complex types, whose 2048 takes seconds a call.
inline const std::vector<size_t> vectorSizes{1, 16, 256, 4096};
inline const std::vector<std::pair<size_t, size_t>> matrixSizes{{2, 3}, {64, 64}, {512, 512}};
inline const std::vector<size_t> realGemmSizes{256, 512, 1024, 2048};
inline const std::vector<size_t> complexGemmSizes{256, 512, 1024};
inline const std::vector<size_t> gemvSizes{1024, 2048, 4096};
inline const std::vector<size_t> streamSizes{10000, 100000, 1000000, 10000000};

inline std::string sizeLabel(size_t n)
{
    return std::to_string(n);
}
inline std::string sizeLabel(std::pair<size_t, size_t> s)
{
    return std::to_string(s.first) + "x" + std::to_string(s.second);
}

// Every operand starts at 1e-3 (both parts for complex types): small enough that the
// accumulating operations stay finite over millions of calls, and never a value (0 or 1)
// that lets OpenBLAS return early.
template <typename T>
T operandValue()
{
    if constexpr (std::is_floating_point_v<T>) {
        return T(1e-3);
    } else {
        return T(1e-3, 1e-3);
    }
}

// The least-squares matrix: identity plus 1e-3 everywhere, which has full rank at every shape.
template <typename T>
std::vector<T> lsMatrix(size_t rows, size_t cols)
{
    std::vector<T> a(rows * cols, operandValue<T>());
    for (size_t i = 0; i < rows && i < cols; ++i) {
        a[i + i * rows] += T(1);
    }
    return a;
}

void registerBlasLatency();
void registerBlasThroughput();
void registerPeak();
// Needs the folder that holds tiny.onnx and compute.onnx.
void registerModel(const std::string& models);

// Facts about the process that the report prints beside the numbers.
void addBlasContext();

} // namespace QueltBench
