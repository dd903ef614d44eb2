// This core's own ceilings, measured in the run: a loop of independent fused multiply-adds
// (256-bit, the width of the Haswell kernels OpenBLAS is pinned to here, and 512-bit where the
// CPU has it) and a streaming read of an array far larger than the caches.
#include <immintrin.h>

#include <cstddef>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "floor.hpp"

namespace QueltBench {
namespace {

// Twelve chains hide the FMA latency on two pipes with room to spare; each chain multiplies
// by just under one and adds a tiny step, so the values stay finite and never denormal.
constexpr int chains = 12;
constexpr size_t innerLoops = 1000;

__attribute__((target("avx2,fma"))) double fmaAvx2Double(size_t loops)
{
    __m256d acc[chains];
    for (int c = 0; c < chains; ++c) {
        acc[c] = _mm256_set1_pd(1.0 + c);
    }
    const __m256d a = _mm256_set1_pd(0.999999);
    const __m256d b = _mm256_set1_pd(1e-6);
    for (size_t i = 0; i < loops; ++i) {
        for (int c = 0; c < chains; ++c) {
            acc[c] = _mm256_fmadd_pd(acc[c], a, b);
        }
    }
    __m256d total = acc[0];
    for (int c = 1; c < chains; ++c) {
        total = _mm256_add_pd(total, acc[c]);
    }
    return _mm256_cvtsd_f64(total);
}

__attribute__((target("avx2,fma"))) float fmaAvx2Float(size_t loops)
{
    __m256 acc[chains];
    for (int c = 0; c < chains; ++c) {
        acc[c] = _mm256_set1_ps(1.0f + c);
    }
    const __m256 a = _mm256_set1_ps(0.9999f);
    const __m256 b = _mm256_set1_ps(1e-4f);
    for (size_t i = 0; i < loops; ++i) {
        for (int c = 0; c < chains; ++c) {
            acc[c] = _mm256_fmadd_ps(acc[c], a, b);
        }
    }
    __m256 total = acc[0];
    for (int c = 1; c < chains; ++c) {
        total = _mm256_add_ps(total, acc[c]);
    }
    return _mm256_cvtss_f32(total);
}

__attribute__((target("avx512f"))) double fmaAvx512Double(size_t loops)
{
    __m512d acc[chains];
    for (int c = 0; c < chains; ++c) {
        acc[c] = _mm512_set1_pd(1.0 + c);
    }
    const __m512d a = _mm512_set1_pd(0.999999);
    const __m512d b = _mm512_set1_pd(1e-6);
    for (size_t i = 0; i < loops; ++i) {
        for (int c = 0; c < chains; ++c) {
            acc[c] = _mm512_fmadd_pd(acc[c], a, b);
        }
    }
    __m512d total = acc[0];
    for (int c = 1; c < chains; ++c) {
        total = _mm512_add_pd(total, acc[c]);
    }
    double lanes[8];
    _mm512_storeu_pd(lanes, total);
    return lanes[0] + lanes[7];
}

__attribute__((target("avx512f"))) float fmaAvx512Float(size_t loops)
{
    __m512 acc[chains];
    for (int c = 0; c < chains; ++c) {
        acc[c] = _mm512_set1_ps(1.0f + c);
    }
    const __m512 a = _mm512_set1_ps(0.9999f);
    const __m512 b = _mm512_set1_ps(1e-4f);
    for (size_t i = 0; i < loops; ++i) {
        for (int c = 0; c < chains; ++c) {
            acc[c] = _mm512_fmadd_ps(acc[c], a, b);
        }
    }
    __m512 total = acc[0];
    for (int c = 1; c < chains; ++c) {
        total = _mm512_add_ps(total, acc[c]);
    }
    float lanes[16];
    _mm512_storeu_ps(lanes, total);
    return lanes[0] + lanes[15];
}

// Four independent vector accumulators keep enough loads in flight that memory, not the adds,
// sets the pace. n is a multiple of 16.
__attribute__((target("avx2"))) double readAll(const double* data, size_t n)
{
    __m256d s0 = _mm256_setzero_pd(), s1 = s0, s2 = s0, s3 = s0;
    for (size_t i = 0; i < n; i += 16) {
        s0 = _mm256_add_pd(s0, _mm256_loadu_pd(data + i));
        s1 = _mm256_add_pd(s1, _mm256_loadu_pd(data + i + 4));
        s2 = _mm256_add_pd(s2, _mm256_loadu_pd(data + i + 8));
        s3 = _mm256_add_pd(s3, _mm256_loadu_pd(data + i + 12));
    }
    const __m256d s = _mm256_add_pd(_mm256_add_pd(s0, s1), _mm256_add_pd(s2, s3));
    return _mm256_cvtsd_f64(s);
}

// lanes: elements per register; each FMA counts as two floating-point operations.
template <typename Fn>
void addFma(const std::string& name, Fn fn, int lanes)
{
    benchmark::RegisterBenchmark(name.c_str(), [fn, lanes](benchmark::State& state) {
        for (auto _ : state) {
            benchmark::DoNotOptimize(fn(innerLoops));
        }
        state.counters["flops"] = benchmark::Counter(2.0 * chains * lanes * innerLoops,
                                                     benchmark::Counter::kIsIterationInvariantRate);
    })->Unit(benchmark::kMicrosecond);
}

// 256 MiB of doubles, far beyond every cache.
void addRead()
{
    benchmark::RegisterBenchmark("peak/read", [](benchmark::State& state) {
        const size_t n = size_t(32) << 20;
        std::vector<double> data(n, 1e-3);
        for (auto _ : state) {
            benchmark::DoNotOptimize(readAll(data.data(), n));
        }
        state.counters["bytes"] = benchmark::Counter(double(n * sizeof(double)),
                                                     benchmark::Counter::kIsIterationInvariantRate);
    })->Unit(benchmark::kMillisecond);
}

} // namespace

void registerPeak()
{
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) {
        addFma("peak/fma256/d", fmaAvx2Double, 4);
        addFma("peak/fma256/s", fmaAvx2Float, 8);
        addRead();
    }
    if (__builtin_cpu_supports("avx512f")) {
        addFma("peak/fma512/d", fmaAvx512Double, 8);
        addFma("peak/fma512/s", fmaAvx512Float, 16);
    }
}

} // namespace QueltBench
