// Quelt::Onnx::Session: a runtime session over one model, loaded from a file or from memory,
// that describes its inputs and outputs and runs with caller-made values; quiet, whatever
// logging the process's one runtime environment was set up with.
#pragma once

#include "onnx/DeclaredShape.hpp"
#include "onnx/ExternalData.hpp"
#include "onnx/ModelMetadata.hpp"
#include "onnx/OnnxRuntime.hpp"
#include "onnx/Tensor.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

namespace Quelt::Onnx {

// The runtime's environment is one per process whoever creates it (the core's model class
// included); sessions share it and it goes when the last of them does.
inline std::shared_ptr<Ort::Env> sharedEnvironment()
{
    static std::mutex mutex;
    static std::weak_ptr<Ort::Env> current;
    std::lock_guard<std::mutex> lock(mutex);
    std::shared_ptr<Ort::Env> env = current.lock();
    if (!env) {
        // Warning level as the core's model sets it, so that its behaviour does not depend on
        // which of the two came first; the sessions below silence their own loggers.
        env = std::make_shared<Ort::Env>(ORT_LOGGING_LEVEL_WARNING, "quelt");
        current = env;
    }
    return env;
}

// The runtime's levels: 3 is ERROR and 4 FATAL; its failures come back as statuses anyway.
inline constexpr int quietLogLevel = 4;

enum class Kind { Tensor, Sequence, Map, Optional };

inline const char* kindName(Kind kind)
{
    switch (kind) {
    case Kind::Tensor: return "tensor";
    case Kind::Sequence: return "sequence";
    case Kind::Map: return "map";
    case Kind::Optional: return "optional";
    }
    return "";
}

// A value's declared type: a tensor's element type and shape, or what a sequence, map
// (its values) or optional value holds.
struct TypeDesc {
    Kind kind = Kind::Tensor;
    ONNXTensorElementDataType element = ONNX_TENSOR_ELEMENT_DATA_TYPE_UNDEFINED; // tensor; map: key
    std::vector<int64_t> dims;                                                     // -1: dynamic
    std::vector<std::string> symbols;                                              // "" if unnamed
    bool rankKnown = true;                                                         // tensor
    std::shared_ptr<TypeDesc> contained;

    void apply(const DeclaredShape& declared)
    {
        if (kind == Kind::Tensor) {
            rankKnown = declared.known;
        } else if (contained && declared.inner) {
            contained->apply(*declared.inner);
        }
    }

    // Fixes the dimensions named `symbol` at `value`, in this tensor or the tensors held; true
    // if there were any.
    bool fix(const std::string& symbol, int64_t value)
    {
        bool found = false;
        for (size_t i = 0; i < symbols.size(); ++i) {
            if (symbols[i] == symbol) {
                dims[i] = value;
                found = true;
            }
        }
        return (contained && contained->fix(symbol, value)) || found;
    }

    // The element type of a tensor, or of the tensors a sequence or optional value holds.
    ONNXTensorElementDataType tensorElement() const
    {
        if (kind == Kind::Tensor) {
            return element;
        }
        if ((kind == Kind::Sequence || kind == Kind::Optional) && contained && contained->kind == Kind::Tensor) {
            return contained->element;
        }
        return ONNX_TENSOR_ELEMENT_DATA_TYPE_UNDEFINED;
    }

    static TypeDesc of(const Ort::ConstTypeInfo& info)
    {
        TypeDesc desc;
        const OrtApi& api = Ort::GetApi();
        switch (info.GetONNXType()) {
        case ONNX_TYPE_TENSOR:
        case ONNX_TYPE_SPARSETENSOR: {
            auto tensor = info.GetTensorTypeAndShapeInfo();
            desc.element = tensor.GetElementType();
            desc.dims = tensor.GetShape();
            std::vector<const char*> names(desc.dims.size(), nullptr);
            tensor.GetSymbolicDimensions(names.data(), names.size());
            for (const char* name : names) {
                desc.symbols.emplace_back(name ? name : "");
            }
            break;
        }
        case ONNX_TYPE_SEQUENCE: {
            desc.kind = Kind::Sequence;
            desc.contained = std::make_shared<TypeDesc>(of(info.GetSequenceTypeInfo().GetSequenceElementType().GetConst()));
            break;
        }
        case ONNX_TYPE_MAP: {
            desc.kind = Kind::Map;
            auto map = info.GetMapTypeInfo();
            desc.element = map.GetMapKeyType();
            desc.contained = std::make_shared<TypeDesc>(of(map.GetMapValueType().GetConst()));
            break;
        }
        case ONNX_TYPE_OPTIONAL: {
            desc.kind = Kind::Optional;
            const OrtOptionalTypeInfo* optional = nullptr;
            Ort::ThrowOnError(api.CastTypeInfoToOptionalTypeInfo(info, &optional));
            OrtTypeInfo* contained = nullptr;
            Ort::ThrowOnError(api.GetOptionalContainedTypeInfo(optional, &contained));
            Ort::TypeInfo owned(contained);
            desc.contained = std::make_shared<TypeDesc>(of(owned.GetConst()));
            break;
        }
        default:
            throw std::runtime_error("value of an unknown kind");
        }
        return desc;
    }
};

struct ValueInfo {
    std::string name;
    TypeDesc type;
    bool hasDefault = false;
};

struct SessionOptions {
    int threads = 0;      // intra-op; 0: the runtime's default
    int interThreads = 0; // inter-op, for parallel execution
    ExecutionMode execution = ORT_SEQUENTIAL;
    GraphOptimizationLevel optimization = ORT_ENABLE_ALL;
    std::string optimizedPath; // "": not saved
    std::string profilePrefix; // "": no profiling
    std::vector<std::pair<std::string, int64_t>> freeDimensions;
    // The folder a model given as bytes resolves its external data against.
    std::optional<std::filesystem::path> externalData;
};

class Session {
public:
    // The path is checked before the runtime sees it, so that the caller learns what is wrong
    // with it rather than the runtime's reading of it.
    Session(const std::string& path, const SessionOptions& options)
        : m_env(sharedEnvironment()), m_session(nullptr)
    {
        if (path.find('\0') != std::string::npos) {
            throw std::invalid_argument("model path contains a NUL character");
        }
        std::error_code error;
        const auto status = std::filesystem::status(path, error);
        if (!std::filesystem::exists(status)) {
            throw std::system_error(std::make_error_code(std::errc::no_such_file_or_directory), path);
        }
        if (std::filesystem::is_directory(status)) {
            throw std::system_error(std::make_error_code(std::errc::is_a_directory), path);
        }
        if (options.externalData) {
            throw std::invalid_argument("external_data is for a model given as bytes; a model file reads its "
                                        "external data from its own folder");
        }
        m_session = Ort::Session(*m_env, path.c_str(), sessionOptions(options));
        describe(options);
        readModelFile(path);
    }

    // External data is never looked for in the current directory, where the runtime would
    // look for it: without a folder to read it from, such a model is refused.
    Session(const void* data, size_t size, const SessionOptions& options)
        : m_env(sharedEnvironment()), m_session(nullptr)
    {
        const std::vector<ExternalTensor> external = externalTensors(data, size);
        if (!external.empty() && !options.externalData) {
            throw std::invalid_argument("the model keeps '" + external.front().name + "' in the external data file '"
                                        + external.front().location
                                        + "'; a model given as bytes needs external_data= naming the folder that holds it");
        }
        Ort::SessionOptions made = sessionOptions(options);
        if (!external.empty()) {
            m_external = std::make_unique<ExternalData>(external, *options.externalData);
            m_external->addTo(made);
        }
        m_session = Ort::Session(*m_env, data, size, made);
        describe(options);
        readModel(data, size);
    }

    const std::vector<ValueInfo>& inputs() const { return m_inputs; }
    const std::vector<ValueInfo>& outputs() const { return m_outputs; }
    const ModelMetadata& metadata() const { return m_metadata; }

    // The profile's file, once, while the session profiles; none otherwise.
    std::optional<std::string> endProfiling()
    {
        std::lock_guard<std::mutex> lock(m_profileMutex);
        if (!m_profiling) {
            return std::nullopt;
        }
        m_profiling = false;
        Ort::AllocatorWithDefaultOptions allocator;
        return std::string(m_session.EndProfilingAllocated(allocator).get());
    }

    // Safe from several threads at once, as the runtime's own run is.
    void run(const Ort::RunOptions& options, const char* const* inputNames, const OrtValue* const* inputs,
             size_t inputCount, const char* const* outputNames, OrtValue** outputs, size_t outputCount) const
    {
        Ort::ThrowOnError(Ort::GetApi().Run(m_session, options, inputNames, inputs, inputCount, outputNames,
                                            outputCount, outputs));
    }

    // Run options that keep the run's log quiet.
    static Ort::RunOptions runOptions()
    {
        Ort::RunOptions options;
        options.SetRunLogSeverityLevel(quietLogLevel);
        return options;
    }

private:
    std::shared_ptr<Ort::Env> m_env;
    std::unique_ptr<ExternalData> m_external; // the session reads it to the end
    Ort::Session m_session;
    std::vector<ValueInfo> m_inputs;
    std::vector<ValueInfo> m_outputs;
    ModelMetadata m_metadata;
    std::mutex m_profileMutex;
    bool m_profiling = false;

    static Ort::SessionOptions sessionOptions(const SessionOptions& given)
    {
        Ort::SessionOptions options;
        options.SetLogSeverityLevel(quietLogLevel);
        options.SetGraphOptimizationLevel(given.optimization);
        options.SetExecutionMode(given.execution);
        if (given.threads > 0) {
            options.SetIntraOpNumThreads(given.threads);
        }
        if (given.interThreads > 0) {
            options.SetInterOpNumThreads(given.interThreads);
        }
        if (!given.optimizedPath.empty()) {
            options.SetOptimizedModelFilePath(given.optimizedPath.c_str());
        }
        if (!given.profilePrefix.empty()) {
            options.EnableProfiling(given.profilePrefix.c_str());
        }
        for (const auto& [name, value] : given.freeDimensions) {
            Ort::ThrowOnError(Ort::GetApi().AddFreeDimensionOverrideByName(options, name.c_str(), value));
        }
        return options;
    }

    // What the runtime does not say: which shapes are declared at all, and the metadata's
    // producer version and whether the version is set.
    void readModel(const void* model, size_t size)
    {
        m_metadata.readFrom(model, size);
        for (const auto& [name, shape] : declaredShapes(model, size)) {
            for (auto* infos : {&m_inputs, &m_outputs}) {
                for (ValueInfo& info : *infos) {
                    if (info.name == name && !info.hasDefault) {
                        info.type.apply(shape);
                    }
                }
            }
        }
    }

    // Mapped rather than read: only the graph's few value descriptions are looked at.
    void readModelFile(const std::string& path)
    {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            return;
        }
        struct stat status {};
        if (::fstat(fd, &status) == 0 && status.st_size > 0) {
            void* model = ::mmap(nullptr, size_t(status.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
            if (model != MAP_FAILED) {
                readModel(model, size_t(status.st_size));
                ::munmap(model, size_t(status.st_size));
            }
        }
        ::close(fd);
    }

    // Inputs in the model's order, then the initializers that a feed may override.
    void describe(const SessionOptions& options)
    {
        m_metadata = ModelMetadata::of(m_session);
        m_profiling = !options.profilePrefix.empty();
        Ort::AllocatorWithDefaultOptions allocator;
        for (size_t i = 0, n = m_session.GetInputCount(); i < n; ++i) {
            m_inputs.push_back({m_session.GetInputNameAllocated(i, allocator).get(),
                                TypeDesc::of(m_session.GetInputTypeInfo(i).GetConst()), false});
        }
        for (size_t i = 0, n = m_session.GetOverridableInitializerCount(); i < n; ++i) {
            m_inputs.push_back({m_session.GetOverridableInitializerNameAllocated(i, allocator).get(),
                                TypeDesc::of(m_session.GetOverridableInitializerTypeInfo(i).GetConst()), true});
        }
        for (size_t i = 0, n = m_session.GetOutputCount(); i < n; ++i) {
            m_outputs.push_back({m_session.GetOutputNameAllocated(i, allocator).get(),
                                 TypeDesc::of(m_session.GetOutputTypeInfo(i).GetConst()), false});
        }
        // The runtime shows the fixed inputs itself; outputs named alike follow.
        for (const auto& [name, value] : options.freeDimensions) {
            for (auto* infos : {&m_inputs, &m_outputs}) {
                for (ValueInfo& info : *infos) {
                    info.type.fix(name, value);
                }
            }
        }
    }
};

} // namespace Quelt::Onnx
