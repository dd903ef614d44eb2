// Runs one converted conformance case straight through the ONNX Runtime C++ API, bypassing the
// model runner, so that a mismatch can be traced to the runtime or to the runner.
//
//     quelt_onnx_check CASE_FOLDER OUTPUT_FOLDER
//
// Reads CASE_FOLDER/case.txt (written by convert.py), loads the model with the same session
// settings the runner uses, runs every data set with runtime-allocated outputs and writes
// OUTPUT_FOLDER/DATASET/output_K.f32 (little-endian float32, row-major) for each output.
// OUTPUT_FOLDER/result.txt gets one line per event: "load-error MESSAGE", "DATASET ok" or
// "DATASET run-error MESSAGE", messages on one line.
#ifndef ORT_API_MANUAL_INIT
#define ORT_API_MANUAL_INIT
#endif
#include <onnxruntime_cxx_api.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr uint32_t apiVersion = 17;

struct Tensor {
    std::string name;
    std::vector<int64_t> shape;
    std::string file;
};

struct DataSet {
    std::string name;
    std::vector<Tensor> inputs;
    std::vector<Tensor> outputs;
};

struct Case {
    std::string model;
    std::vector<DataSet> dataSets;
};

Tensor parseTensor(std::istringstream& line)
{
    Tensor tensor;
    size_t rank = 0;
    line >> tensor.name >> rank;
    tensor.shape.resize(rank);
    for (auto& d : tensor.shape) {
        line >> d;
    }
    line >> tensor.file;
    if (!line) {
        throw std::runtime_error("malformed tensor line in case file");
    }
    return tensor;
}

Case readCase(const fs::path& file)
{
    std::ifstream in(file);
    if (!in) {
        throw std::runtime_error("cannot read " + file.string());
    }
    Case result;
    std::string text;
    while (std::getline(in, text)) {
        std::istringstream line(text);
        std::string key;
        line >> key;
        if (key == "model") {
            line >> std::ws;
            std::getline(line, result.model);
        } else if (key == "dataset") {
            result.dataSets.emplace_back();
            line >> result.dataSets.back().name;
        } else if (key == "input" && !result.dataSets.empty()) {
            result.dataSets.back().inputs.push_back(parseTensor(line));
        } else if (key == "output" && !result.dataSets.empty()) {
            result.dataSets.back().outputs.push_back(parseTensor(line));
        } else if (!key.empty()) {
            throw std::runtime_error("unexpected line in case file: " + text);
        }
    }
    return result;
}

std::vector<float> readFloats(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + file.string());
    }
    const auto bytes = fs::file_size(file);
    std::vector<float> values(bytes / sizeof(float));
    in.read(reinterpret_cast<char*>(values.data()), static_cast<std::streamsize>(values.size() * sizeof(float)));
    return values;
}

void writeFloats(const fs::path& file, const float* values, size_t count)
{
    fs::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary);
    out.write(reinterpret_cast<const char*>(values), static_cast<std::streamsize>(count * sizeof(float)));
}

// Runtime messages may span lines; the result file keeps one event per line.
std::string oneLine(std::string message)
{
    for (auto& c : message) {
        if (c == '\n' || c == '\r') {
            c = ' ';
        }
    }
    return message;
}

void runDataSet(Ort::Session& session, const fs::path& caseFolder, const fs::path& outFolder, const DataSet& set)
{
    const auto memory = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
    std::vector<std::vector<float>> buffers;
    std::vector<Ort::Value> inputs;
    std::vector<const char*> inputNames, outputNames;
    buffers.reserve(set.inputs.size());
    for (const auto& input : set.inputs) {
        buffers.push_back(readFloats(caseFolder / input.file));
        inputs.push_back(Ort::Value::CreateTensor<float>(memory, buffers.back().data(), buffers.back().size(),
                                                         input.shape.data(), input.shape.size()));
        inputNames.push_back(input.name.c_str());
    }
    for (const auto& output : set.outputs) {
        outputNames.push_back(output.name.c_str());
    }
    // The runtime allocates the outputs here, unlike the runner, which binds its own.
    auto outputs = session.Run(Ort::RunOptions{}, inputNames.data(), inputs.data(), inputs.size(),
                               outputNames.data(), outputNames.size());
    for (size_t k = 0; k < outputs.size(); ++k) {
        const size_t count = outputs[k].GetTensorTypeAndShapeInfo().GetElementCount();
        writeFloats(outFolder / set.name / ("output_" + std::to_string(k) + ".f32"),
                    outputs[k].GetTensorData<float>(), count);
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::cerr << "usage: quelt_onnx_check CASE_FOLDER OUTPUT_FOLDER\n";
        return 1;
    }
    const fs::path caseFolder = argv[1], outFolder = argv[2];
    try {
        const OrtApi* api = OrtGetApiBase()->GetApi(apiVersion);
        if (api == nullptr) {
            std::cerr << "the ONNX Runtime library lacks C API version " << apiVersion << "\n";
            return 1;
        }
        Ort::InitApi(api);

        const Case testCase = readCase(caseFolder / "case.txt");
        fs::create_directories(outFolder);
        std::ofstream result(outFolder / "result.txt");

        Ort::Env environment(ORT_LOGGING_LEVEL_WARNING, "quelt_onnx_check");
        Ort::SessionOptions options;
        options.SetGraphOptimizationLevel(ORT_DISABLE_ALL);
        std::unique_ptr<Ort::Session> session;
        try {
            session = std::make_unique<Ort::Session>(environment, testCase.model.c_str(), options);
        } catch (const Ort::Exception& error) {
            result << "load-error " << oneLine(error.what()) << "\n";
            return 0;
        }
        for (const auto& set : testCase.dataSets) {
            try {
                runDataSet(*session, caseFolder, outFolder, set);
                result << set.name << " ok\n";
            } catch (const Ort::Exception& error) {
                result << set.name << " run-error " << oneLine(error.what()) << "\n";
            }
        }
        return 0;
    } catch (const std::exception& error) {
        std::cerr << "quelt_onnx_check: " << error.what() << "\n";
        return 1;
    }
}
