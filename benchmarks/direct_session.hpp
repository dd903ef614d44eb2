// Sessions built the way the model class and the session runner build theirs, for the direct
// calls that the two are compared with: the C++ floor's and queltfloor's.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <onnxruntime_cxx_api.h>

namespace QueltBench {

// One session with every input and output allocated once, graph optimisation off, default
// thread pool: what the model class builds, without its element views.
class DirectSession {
public:
    explicit DirectSession(const std::string& path)
        : m_env(ORT_LOGGING_LEVEL_WARNING, path.c_str()),
          m_session(m_env, path.c_str(), options()),
          m_allocator(m_session, Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault))
    {
        for (size_t i = 0; i < m_session.GetInputCount(); ++i) {
            m_inputNames.push_back(m_session.GetInputNameAllocated(i, m_allocator).get());
            m_inputs.push_back(tensorOf(m_session.GetInputTypeInfo(i)));
        }
        for (size_t i = 0; i < m_session.GetOutputCount(); ++i) {
            m_outputNames.push_back(m_session.GetOutputNameAllocated(i, m_allocator).get());
            m_outputs.push_back(tensorOf(m_session.GetOutputTypeInfo(i)));
        }
        for (const auto& name : m_inputNames) {
            m_inputNamePointers.push_back(name.c_str());
        }
        for (const auto& name : m_outputNames) {
            m_outputNamePointers.push_back(name.c_str());
        }
    }

    void run()
    {
        Ort::RunOptions runoptions;
        runoptions.SetRunLogVerbosityLevel(5);
        m_session.Run(runoptions, m_inputNamePointers.data(), m_inputs.data(), m_inputs.size(),
                      m_outputNamePointers.data(), m_outputs.data(), m_outputs.size());
    }

    Ort::Value& input(size_t i) { return m_inputs[i]; }
    Ort::Value& output(size_t i) { return m_outputs[i]; }

private:
    static Ort::SessionOptions options()
    {
        Ort::SessionOptions options;
        options.SetGraphOptimizationLevel(ORT_DISABLE_ALL);
        return options;
    }

    // Float inputs start at 1, so that no run computes on leftover bytes (denormals would slow
    // it down); the Python side sets its inputs too before it times anything.
    Ort::Value tensorOf(const Ort::TypeInfo& info)
    {
        const auto shapeInfo = info.GetTensorTypeAndShapeInfo();
        const std::vector<int64_t> shape = shapeInfo.GetShape();
        Ort::Value tensor
            = Ort::Value::CreateTensor(m_allocator, shape.data(), shape.size(), shapeInfo.GetElementType());
        if (shapeInfo.GetElementType() == ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT) {
            float* data = tensor.GetTensorMutableData<float>();
            std::fill(data, data + shapeInfo.GetElementCount(), 1.0f);
        }
        return tensor;
    }

    Ort::Env m_env;
    Ort::Session m_session;
    Ort::Allocator m_allocator;
    std::vector<std::string> m_inputNames;
    std::vector<std::string> m_outputNames;
    std::vector<const char*> m_inputNamePointers;
    std::vector<const char*> m_outputNamePointers;
    std::vector<Ort::Value> m_inputs;
    std::vector<Ort::Value> m_outputs;
};

// Sessions are opened on first use, once per process and path, and live until it ends.
inline DirectSession& openSession(const std::string& path)
{
    static std::vector<std::pair<std::string, std::unique_ptr<DirectSession>>> open;
    for (auto& [name, session] : open) {
        if (name == path) {
            return *session;
        }
    }
    open.emplace_back(path, std::make_unique<DirectSession>(path));
    return *open.back().second;
}

// A session as the session runner builds one: the given intra-op thread count and graph
// optimisation level, and outputs that the runtime allocates on every run. The inputs are
// tensors over the caller's own memory.
class FeedSession {
public:
    FeedSession(const std::string& path, int threads, GraphOptimizationLevel level)
        : m_env(ORT_LOGGING_LEVEL_ERROR, path.c_str()), m_session(m_env, path.c_str(), options(threads, level))
    {
        Ort::AllocatorWithDefaultOptions allocator;
        for (size_t i = 0; i < m_session.GetOutputCount(); ++i) {
            m_outputNames.push_back(m_session.GetOutputNameAllocated(i, allocator).get());
        }
        for (const auto& name : m_outputNames) {
            m_outputNamePointers.push_back(name.c_str());
        }
    }

    // One run on the given inputs, in the model's names; every output is asked for, and the
    // caller drops them (or reads them) before the next run.
    std::vector<Ort::Value> run(const std::vector<const char*>& names, const std::vector<Ort::Value>& inputs,
                                const Ort::RunOptions& options)
    {
        return m_session.Run(options, names.data(), inputs.data(), inputs.size(), m_outputNamePointers.data(),
                             m_outputNamePointers.size());
    }

private:
    static Ort::SessionOptions options(int threads, GraphOptimizationLevel level)
    {
        Ort::SessionOptions options;
        options.SetIntraOpNumThreads(threads);
        options.SetGraphOptimizationLevel(level);
        return options;
    }

    Ort::Env m_env;
    Ort::Session m_session;
    std::vector<std::string> m_outputNames;
    std::vector<const char*> m_outputNamePointers;
};

// Opened on first use, once per process, path, thread count and level, and kept until it ends.
inline FeedSession& openFeedSession(const std::string& path, int threads, GraphOptimizationLevel level)
{
    static std::map<std::tuple<std::string, int, int>, std::unique_ptr<FeedSession>> open;
    auto& session = open[{path, threads, int(level)}];
    if (!session) {
        session = std::make_unique<FeedSession>(path, threads, level);
    }
    return *session;
}

} // namespace QueltBench
