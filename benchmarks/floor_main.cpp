// The C++ floor benchmarks: which groups run is chosen with --benchmark_filter; --models=DIR
// names the folder of the generated ONNX models.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <onnxruntime_cxx_api.h>

#include "floor.hpp"

int main(int argc, char** argv)
{
    std::string models;
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        if (std::strncmp(argv[i], "--models=", 9) == 0) {
            models = argv[i] + 9;
        } else {
            args.push_back(argv[i]);
        }
    }
    int count = int(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) {
        return 1;
    }

    QueltBench::registerBlasLatency();
    QueltBench::registerBlasThroughput();
    QueltBench::registerPeak();
    QueltBench::addBlasContext();
    if (!models.empty()) {
        // The API version the model class asks for; the headers may be newer than the library.
        const OrtApi* api = OrtGetApiBase()->GetApi(17);
        if (api == nullptr) {
            std::fprintf(stderr, "ONNX Runtime %s does not provide C API version 17\n",
                         OrtGetApiBase()->GetVersionString());
            return 1;
        }
        Ort::InitApi(api);
        benchmark::AddCustomContext("onnxruntime", OrtGetApiBase()->GetVersionString());
        QueltBench::registerModel(models);
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
