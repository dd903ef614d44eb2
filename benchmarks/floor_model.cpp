// The model runner's floor: the steps of set, run and get made through the ONNX Runtime C++
// API directly, on a session configured and fed the way the model class does it.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "direct_session.hpp"
#include "floor.hpp"

namespace QueltBench {

void registerModel(const std::string& models)
{
    const std::string tiny = models + "/tiny.onnx";
    const std::string compute = models + "/compute.onnx";
    // The element the Python side sets and gets: (0, 1) of the tiny model's 1 x 2 tensors.
    // Element access runs on this thread alone and is timed on its CPU clock, as everything
    // else; a run may use the runtime's thread pool and is timed on the wall clock.
    benchmark::RegisterBenchmark("model/tiny/set", [tiny](benchmark::State& state) {
        Ort::Value& x = openSession(tiny).input(0);
        const std::vector<int64_t> index{0, 1};
        for (auto _ : state) {
            x.At<float>(index) = 2.5f;
            benchmark::ClobberMemory();
        }
    });
    benchmark::RegisterBenchmark("model/tiny/get", [tiny](benchmark::State& state) {
        Ort::Value& y = openSession(tiny).output(0);
        const std::vector<int64_t> index{0, 1};
        for (auto _ : state) {
            benchmark::DoNotOptimize(y.At<float>(index));
        }
    });
    benchmark::RegisterBenchmark("model/tiny/run", [tiny](benchmark::State& state) {
        DirectSession& s = openSession(tiny);
        for (auto _ : state) {
            s.run();
        }
    })->Unit(benchmark::kMicrosecond)->UseRealTime();
    benchmark::RegisterBenchmark("model/tiny/cycle", [tiny](benchmark::State& state) {
        DirectSession& s = openSession(tiny);
        const std::vector<int64_t> index{0, 1};
        for (auto _ : state) {
            s.input(0).At<float>(index) = 2.5f;
            s.run();
            benchmark::DoNotOptimize(s.output(0).At<float>(index));
        }
    })->Unit(benchmark::kMicrosecond)->UseRealTime();
    benchmark::RegisterBenchmark("model/compute/run", [compute](benchmark::State& state) {
        DirectSession& s = openSession(compute);
        for (auto _ : state) {
            s.run();
        }
    })->Unit(benchmark::kMillisecond)->UseRealTime();
}

} // namespace QueltBench
