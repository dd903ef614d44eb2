// Runs converted conformance cases straight through the ONNX Runtime C++ API, bypassing the
// runners, so that a mismatch can be traced to the runtime or to the runner.
//
//     quelt_onnx_check CASE_FOLDER OUTPUT_FOLDER
//     quelt_onnx_check --typed CASES_ROOT OUTPUT_ROOT CASE...
//
// Reads CASE_FOLDER/case.txt (written by convert.py), loads the model with the same session
// settings the runner uses, runs every data set with runtime-allocated outputs and writes
// OUTPUT_FOLDER/DATASET/output_K.f32 (little-endian float32, row-major) for each output.
// OUTPUT_FOLDER/result.txt gets one line per event: "load-error MESSAGE", "DATASET ok" or
// "DATASET run-error MESSAGE", messages on one line.
//
// The second form runs each CASES_ROOT/CASE/case.txt written by convert.py --typed (feeds and
// expected values of any element type, sequences, optionals) with the runtime's default graph
// optimisation, as a session of the runtime would, in one process. OUTPUT_ROOT/CASE/result.txt
// gets "load-error MESSAGE", or per data set "DATASET run-error MESSAGE" or "DATASET ok" followed
// by one "result NAME VALUE" line per output, VALUE in the case file's grammar ("optional none"
// for an absent optional; a present one is written as its value), the tensors' files under
// OUTPUT_ROOT/CASE/DATASET/.
#ifndef ORT_API_MANUAL_INIT
#define ORT_API_MANUAL_INIT
#endif
#include <onnxruntime_cxx_api.h>

#include <cstdint>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
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

std::vector<char> readBytes(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + file.string());
    }
    std::vector<char> bytes(fs::file_size(file));
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return bytes;
}

std::vector<float> readFloats(const fs::path& file)
{
    const std::vector<char> bytes = readBytes(file);
    std::vector<float> values(bytes.size() / sizeof(float));
    std::memcpy(values.data(), bytes.data(), values.size() * sizeof(float));
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


// ---- Typed cases ----

struct ElementType {
    const char* name;
    ONNXTensorElementDataType type;
    size_t size; // 0 for strings
};

constexpr ElementType elementTypes[] = {
    {"float32", ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT, 4},
    {"float64", ONNX_TENSOR_ELEMENT_DATA_TYPE_DOUBLE, 8},
    {"float16", ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT16, 2},
    {"bfloat16", ONNX_TENSOR_ELEMENT_DATA_TYPE_BFLOAT16, 2},
    {"int8", ONNX_TENSOR_ELEMENT_DATA_TYPE_INT8, 1},
    {"uint8", ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT8, 1},
    {"int16", ONNX_TENSOR_ELEMENT_DATA_TYPE_INT16, 2},
    {"uint16", ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT16, 2},
    {"int32", ONNX_TENSOR_ELEMENT_DATA_TYPE_INT32, 4},
    {"uint32", ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT32, 4},
    {"int64", ONNX_TENSOR_ELEMENT_DATA_TYPE_INT64, 8},
    {"uint64", ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT64, 8},
    {"bool", ONNX_TENSOR_ELEMENT_DATA_TYPE_BOOL, 1},
    {"string", ONNX_TENSOR_ELEMENT_DATA_TYPE_STRING, 0},
    {"complex64", ONNX_TENSOR_ELEMENT_DATA_TYPE_COMPLEX64, 8},
    {"complex128", ONNX_TENSOR_ELEMENT_DATA_TYPE_COMPLEX128, 16},
};

const ElementType& elementType(const std::string& name)
{
    for (const auto& e : elementTypes) {
        if (name == e.name) {
            return e;
        }
    }
    throw std::runtime_error("unknown element type in case file: " + name);
}

const ElementType& elementType(ONNXTensorElementDataType type)
{
    for (const auto& e : elementTypes) {
        if (type == e.type) {
            return e;
        }
    }
    throw std::runtime_error("the runtime returned element type " + std::to_string(type) + ", which has no name here");
}

struct Value {
    enum class Kind { tensor, sequence, optional } kind = Kind::tensor;
    std::string dtype;
    std::vector<int64_t> shape;
    std::string file;
    std::vector<Value> items; // a sequence's values; an optional's one value, none when absent
};

Value parseValue(std::istringstream& line)
{
    std::string kind;
    line >> kind;
    Value value;
    if (kind == "tensor") {
        size_t rank = 0;
        line >> value.dtype >> rank;
        value.shape.resize(rank);
        for (auto& d : value.shape) {
            line >> d;
        }
        line >> value.file;
    } else if (kind == "sequence") {
        value.kind = Value::Kind::sequence;
        size_t count = 0;
        line >> count;
        for (size_t i = 0; i < count && line; ++i) {
            value.items.push_back(parseValue(line));
        }
    } else if (kind == "optional") {
        value.kind = Value::Kind::optional;
        line >> std::ws;
        if (line.peek() == 'n') {
            std::string none;
            line >> none;
            if (none != "none") {
                throw std::runtime_error("malformed optional in case file");
            }
        } else {
            value.items.push_back(parseValue(line));
        }
    } else {
        throw std::runtime_error("unknown value kind in case file: " + kind);
    }
    if (!line) {
        throw std::runtime_error("malformed value in case file");
    }
    return value;
}

struct TypedDataSet {
    std::string name;
    std::vector<std::pair<std::string, Value>> feeds;
    std::vector<std::pair<std::string, Value>> expected;
};

struct TypedCase {
    std::string model;
    std::vector<TypedDataSet> dataSets;
};

TypedCase readTypedCase(const fs::path& file)
{
    std::ifstream in(file);
    if (!in) {
        throw std::runtime_error("cannot read " + file.string());
    }
    TypedCase result;
    std::string text;
    while (std::getline(in, text)) {
        std::istringstream line(text);
        std::string key, name;
        line >> key;
        if (key == "model") {
            line >> std::ws;
            std::getline(line, result.model);
        } else if (key == "dataset") {
            result.dataSets.emplace_back();
            line >> result.dataSets.back().name;
        } else if ((key == "feed" || key == "expect") && !result.dataSets.empty()) {
            line >> name;
            auto& list = key == "feed" ? result.dataSets.back().feeds : result.dataSets.back().expected;
            list.emplace_back(name, parseValue(line));
        } else if (!key.empty()) {
            throw std::runtime_error("unexpected line in case file: " + text);
        }
    }
    return result;
}

size_t elementCount(const std::vector<int64_t>& shape)
{
    size_t count = 1;
    for (auto d : shape) {
        count *= static_cast<size_t>(d);
    }
    return count;
}

// The feeds' memory, which the runtime's tensors borrow until the run ends.
using Buffers = std::deque<std::vector<char>>;

Ort::Value makeTensor(const Value& value, const fs::path& caseFolder, Buffers& buffers)
{
    const auto& type = elementType(value.dtype);
    const size_t count = elementCount(value.shape);
    auto bytes = readBytes(caseFolder / value.file);
    if (type.size == 0) {
        // Each string is its byte count (uint32, little-endian) followed by its bytes.
        std::vector<std::string> strings;
        size_t at = 0;
        while (at + 4 <= bytes.size() && strings.size() < count) {
            uint32_t length = 0;
            std::memcpy(&length, bytes.data() + at, 4);
            at += 4;
            if (at + length > bytes.size()) {
                break;
            }
            strings.emplace_back(bytes.data() + at, length);
            at += length;
        }
        if (strings.size() != count || at != bytes.size()) {
            throw std::runtime_error("malformed string file " + value.file);
        }
        std::vector<const char*> pointers;
        for (const auto& s : strings) {
            pointers.push_back(s.c_str());
        }
        Ort::AllocatorWithDefaultOptions allocator;
        auto tensor = Ort::Value::CreateTensor(allocator, value.shape.data(), value.shape.size(),
                                               ONNX_TENSOR_ELEMENT_DATA_TYPE_STRING);
        tensor.FillStringTensor(pointers.data(), pointers.size());
        return tensor;
    }
    if (bytes.size() != count * type.size) {
        throw std::runtime_error("file " + value.file + " does not hold its tensor's elements");
    }
    // An empty tensor still needs an address.
    bytes.reserve(1);
    buffers.push_back(std::move(bytes));
    const auto memory = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
    return Ort::Value::CreateTensor(memory, buffers.back().data(), buffers.back().size(), value.shape.data(),
                                    value.shape.size(), type.type);
}

// Returns no value for an absent optional: the feed is then left out, which is how the runtime
// takes an optional input that has no value.
std::optional<Ort::Value> makeValue(const Value& value, const fs::path& caseFolder, Buffers& buffers)
{
    switch (value.kind) {
    case Value::Kind::tensor:
        return makeTensor(value, caseFolder, buffers);
    case Value::Kind::sequence: {
        std::vector<Ort::Value> items;
        for (const auto& item : value.items) {
            auto made = makeValue(item, caseFolder, buffers);
            if (!made) {
                throw std::runtime_error("a sequence of optionals cannot be fed");
            }
            items.push_back(std::move(*made));
        }
        return Ort::Value::CreateSequence(items);
    }
    case Value::Kind::optional:
        if (value.items.empty()) {
            return std::nullopt;
        }
        return makeValue(value.items.front(), caseFolder, buffers);
    }
    return std::nullopt;
}

void writeBytes(const fs::path& file, const void* data, size_t count)
{
    fs::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(count));
}

// Writes the value's files and its description in the case file's grammar.
void describe(std::ostream& line, const Ort::ConstValue& value, const fs::path& outFolder, const std::string& stem)
{
    if (!value.HasValue()) {
        line << " optional none";
        return;
    }
    const auto kind = value.GetTypeInfo().GetONNXType();
    if (kind == ONNX_TYPE_SEQUENCE) {
        const size_t count = value.GetCount();
        line << " sequence " << count;
        Ort::AllocatorWithDefaultOptions allocator;
        for (size_t i = 0; i < count; ++i) {
            const auto item = Ort::Value(const_cast<Ort::ConstValue&>(value).GetValue(static_cast<int>(i), allocator));
            describe(line, item.GetConst(), outFolder, stem + "_" + std::to_string(i));
        }
        return;
    }
    if (kind != ONNX_TYPE_TENSOR) {
        throw std::runtime_error("the runtime returned a value of kind " + std::to_string(kind)
                                 + ", which the case files cannot hold");
    }
    const auto info = value.GetTensorTypeAndShapeInfo();
    const auto& type = elementType(info.GetElementType());
    const auto shape = info.GetShape();
    const size_t count = info.GetElementCount();
    const std::string file = stem + ".bin";
    if (type.size == 0) {
        std::string bytes;
        for (size_t i = 0; i < count; ++i) {
            const auto element = value.GetStringTensorElement(i);
            const auto length = static_cast<uint32_t>(element.size());
            bytes.append(reinterpret_cast<const char*>(&length), 4);
            bytes += element;
        }
        writeBytes(outFolder / file, bytes.data(), bytes.size());
    } else {
        writeBytes(outFolder / file, value.GetTensorRawData(), count * type.size);
    }
    line << " tensor " << type.name << " " << shape.size();
    for (auto d : shape) {
        line << " " << d;
    }
    line << " " << file;
}

void runTypedDataSet(Ort::Session& session, const fs::path& caseFolder, const fs::path& outFolder,
                     const TypedDataSet& set, std::ostream& result)
{
    Buffers buffers;
    std::vector<Ort::Value> inputs;
    std::vector<const char*> inputNames, outputNames;
    for (const auto& [name, value] : set.feeds) {
        auto made = makeValue(value, caseFolder, buffers);
        if (made) {
            inputs.push_back(std::move(*made));
            inputNames.push_back(name.c_str());
        }
    }
    for (const auto& expected : set.expected) {
        outputNames.push_back(expected.first.c_str());
    }
    auto outputs = session.Run(Ort::RunOptions{}, inputNames.data(), inputs.data(), inputs.size(),
                               outputNames.data(), outputNames.size());
    std::ostringstream lines;
    for (size_t k = 0; k < outputs.size(); ++k) {
        lines << "result " << set.expected[k].first;
        describe(lines, outputs[k].GetConst(), outFolder, set.name + "/output_" + std::to_string(k));
        lines << "\n";
    }
    result << set.name << " ok\n" << lines.str();
}

void runTypedCase(Ort::Env& environment, const fs::path& caseFolder, const fs::path& outFolder)
{
    fs::create_directories(outFolder);
    std::ofstream result(outFolder / "result.txt");
    const TypedCase testCase = readTypedCase(caseFolder / "case.txt");
    Ort::SessionOptions options;
    std::unique_ptr<Ort::Session> session;
    try {
        session = std::make_unique<Ort::Session>(environment, testCase.model.c_str(), options);
    } catch (const Ort::Exception& error) {
        result << "load-error " << oneLine(error.what()) << "\n";
        return;
    }
    for (const auto& set : testCase.dataSets) {
        try {
            runTypedDataSet(*session, caseFolder, outFolder, set, result);
        } catch (const Ort::Exception& error) {
            result << set.name << " run-error " << oneLine(error.what()) << "\n";
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    const bool typed = argc >= 2 && std::string(argv[1]) == "--typed";
    if (typed ? argc < 4 : argc != 3) {
        std::cerr << "usage: quelt_onnx_check CASE_FOLDER OUTPUT_FOLDER\n"
                     "       quelt_onnx_check --typed CASES_ROOT OUTPUT_ROOT CASE...\n";
        return 1;
    }
    try {
        const OrtApi* api = OrtGetApiBase()->GetApi(apiVersion);
        if (api == nullptr) {
            std::cerr << "the ONNX Runtime library lacks C API version " << apiVersion << "\n";
            return 1;
        }
        Ort::InitApi(api);
        if (typed) {
            Ort::Env environment(ORT_LOGGING_LEVEL_WARNING, "quelt_onnx_check");
            for (int i = 4; i < argc; ++i) {
                runTypedCase(environment, fs::path(argv[2]) / argv[i], fs::path(argv[3]) / argv[i]);
            }
            return 0;
        }
        const fs::path caseFolder = argv[1], outFolder = argv[2];

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
