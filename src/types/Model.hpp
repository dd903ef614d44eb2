// Quelt::Onnx::Model: an ONNX Runtime session over one model file, with one tensor allocated
// for every declared input and output and float views for single-element access.
#pragma once

#include "onnx/OnnxRuntime.hpp"

#include <algorithm>
#include <complex>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace Quelt::Onnx {

class Model {
public:
    explicit Model(const std::string& path);
    ~Model() { release(); }

    Model(const Model&) = delete;
    Model& operator=(const Model&) = delete;

    void run();

    template <typename T>
    void set(size_t inputIdx, const std::vector<int64_t>& tensorIdx, T value);

    template <typename T>
    T get(size_t outputIdx, const std::vector<int64_t>& tensorIdx);

    // Whole tensors, for the quelt package: positions are checked, and the tensors keep their
    // addresses for the life of the model.
    size_t inputCount() const { return m_inputCount; }
    size_t outputCount() const { return m_outputCount; }
    Ort::Value& inputTensor(size_t inputIdx) { return m_inputArray.at(inputIdx); }
    Ort::Value& outputTensor(size_t outputIdx) { return m_outputArray.at(outputIdx); }

private:
    // A typed window onto one tensor owned by the model's tensor arrays.
    template <typename T>
    class TensorView {
    public:
        TensorView(Ort::Value* value, ONNXTensorElementDataType type, const std::vector<int64_t>& shape,
                   const std::string& name)
            : m_tensor(value), m_type(type), m_shape(shape), m_name(name)
        {
        }

        // The runtime checks the multi-index against the tensor's rank and dimensions.
        void set(const std::vector<int64_t>& tensorIdx, T value) { m_tensor->template At<T>(tensorIdx) = value; }
        T get(const std::vector<int64_t>& tensorIdx) { return m_tensor->template At<T>(tensorIdx); }

    private:
        Ort::Value* m_tensor;
        const ONNXTensorElementDataType m_type;
        const std::vector<int64_t> m_shape;
        const std::string m_name;
    };

    // ONNX element-type order without INT8, FLOAT16 and BFLOAT16; a default entry is an
    // empty float view, which is what every tensor without a view keeps.
    using TensorViewVariant = std::variant<
        std::shared_ptr<TensorView<float>>, std::shared_ptr<TensorView<uint8_t>>,
        std::shared_ptr<TensorView<uint16_t>>, std::shared_ptr<TensorView<int16_t>>,
        std::shared_ptr<TensorView<int32_t>>, std::shared_ptr<TensorView<int64_t>>,
        std::shared_ptr<TensorView<std::string>>, std::shared_ptr<TensorView<bool>>,
        std::shared_ptr<TensorView<double>>, std::shared_ptr<TensorView<uint32_t>>,
        std::shared_ptr<TensorView<uint64_t>>, std::shared_ptr<TensorView<std::complex<float>>>,
        std::shared_ptr<TensorView<std::complex<double>>>>;

    Ort::Env m_onnxEnvironment;
    Ort::SessionOptions m_options;
    Ort::Session m_session;
    Ort::Allocator m_allocator;

    size_t m_inputCount = 0;
    std::vector<const char*> m_inputNames;
    std::vector<Ort::Value> m_inputArray;
    std::vector<TensorViewVariant> m_inputs;

    size_t m_outputCount = 0;
    std::vector<const char*> m_outputNames;
    std::vector<Ort::Value> m_outputArray;
    std::vector<TensorViewVariant> m_outputs;

    // Of the tensors handed to the runtime for one name, it writes into only one, and into none
    // for a graph input: it passes its own value on for those instead. Such outputs are left
    // out of the run and copied, after it, from the tensor that holds their value.
    struct Copy {
        size_t output;
        const Ort::Value* source;
    };
    std::vector<const char*> m_fetchNames;
    std::vector<OrtValue*> m_fetchValues;
    std::vector<Copy> m_copies;

    static const char* checkedPath(const std::string& path);
    static Ort::Session openSession(const Ort::Env& environment, const std::string& path);

    void makeInputs();
    void makeOutputs();
    void planFetches();

    template <typename GetCount, typename GetName, typename GetTypeInfo>
    void makeTensors(const char* side, size_t& count, std::vector<const char*>& names,
                     std::vector<Ort::Value>& tensors, std::vector<TensorViewVariant>& views,
                     GetCount getCount, GetName getName, GetTypeInfo getTypeInfo);

    void MakeTensor(TensorViewVariant& tensor, Ort::Value* value, ONNXTensorElementDataType type,
                    const std::vector<int64_t>& shape, const std::string& name);

    template <typename T>
    std::shared_ptr<TensorView<T>> viewOf(const char* side, size_t idx, size_t count,
                                          const std::vector<const char*>& names,
                                          std::vector<Ort::Value>& tensors,
                                          const std::vector<TensorViewVariant>& views);

    static void clear(Ort::Value& tensor, ONNXTensorElementDataType type);
    static void copyTensor(const Ort::Value& from, Ort::Value& to);

    void release() noexcept;
};

// The runtime takes the path as a C string: a NUL inside it would cut it short and load
// another file than the one named.
inline const char* Model::checkedPath(const std::string& path)
{
    if (path.find('\0') != std::string::npos) {
        throw std::runtime_error("model path contains a NUL character");
    }
    return path.c_str();
}

inline Ort::Session Model::openSession(const Ort::Env& environment, const std::string& path)
{
    // Only for loading: the session keeps no reference to these options.
    Ort::SessionOptions options;
    options.SetGraphOptimizationLevel(ORT_DISABLE_ALL);
    return Ort::Session(environment, path.c_str(), options);
}

inline Model::Model(const std::string& path)
    : m_onnxEnvironment(ORT_LOGGING_LEVEL_WARNING, checkedPath(path)),
      m_options(),
      m_session(openSession(m_onnxEnvironment, path)),
      m_allocator(m_session, Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault))
{
    // The member destructors cannot free the raw name copies, and they would release the
    // tensors after the names; a half-built model is taken apart here in the destructor's order.
    try {
        makeInputs();
        makeOutputs();
        planFetches();
    } catch (...) {
        release();
        throw;
    }
}

inline void Model::makeInputs()
{
    makeTensors(
        "input", m_inputCount, m_inputNames, m_inputArray, m_inputs,
        [this] { return m_session.GetInputCount(); },
        [this](size_t i) { return m_session.GetInputNameAllocated(i, m_allocator); },
        [this](size_t i) { return m_session.GetInputTypeInfo(i); });
}

inline void Model::makeOutputs()
{
    makeTensors(
        "output", m_outputCount, m_outputNames, m_outputArray, m_outputs,
        [this] { return m_session.GetOutputCount(); },
        [this](size_t i) { return m_session.GetOutputNameAllocated(i, m_allocator); },
        [this](size_t i) { return m_session.GetOutputTypeInfo(i); });
}

template <typename GetCount, typename GetName, typename GetTypeInfo>
void Model::makeTensors(const char* side, size_t& count, std::vector<const char*>& names,
                        std::vector<Ort::Value>& tensors, std::vector<TensorViewVariant>& views,
                        GetCount getCount, GetName getName, GetTypeInfo getTypeInfo)
{
    count = getCount();
    // Reserved in full: the views keep addresses into the tensor array, and appending the
    // name copies can then no longer throw and lose one.
    names.reserve(count);
    views.reserve(count);
    tensors.reserve(count);

    for (size_t i = 0; i < count; ++i) {
        {
            auto runtimeName = getName(i);
            const size_t length = std::strlen(runtimeName.get()) + 1;
            char* name = new char[length];
            std::memcpy(name, runtimeName.get(), length);
            names.push_back(name);
        }
        std::cout << "Quelt::Onnx::Model:: " << side << " name " << i << " '" << names[i] << "'" << std::endl;

        Ort::TypeInfo info = getTypeInfo(i);
        // Sequences, maps and optional values have no tensor shape to allocate from.
        if (info.GetONNXType() != ONNX_TYPE_TENSOR) {
            throw std::runtime_error(std::string(side) + " " + std::to_string(i) + " '" + names[i]
                                     + "' is not a tensor");
        }
        const std::vector<int64_t> shape = info.GetTensorTypeAndShapeInfo().GetShape();

        std::cout << "Quelt::Onnx::Model:: " << side << " shape " << i << " '{";
        for (size_t j = 0; j < shape.size(); ++j) {
            const char* terminator = j + 1 < shape.size() ? ", " : "";
            std::cout << shape[j] << terminator;
        }
        std::cout << "}'\n";

        const ONNXTensorElementDataType type = info.GetTensorTypeAndShapeInfo().GetElementType();
        tensors.push_back(Ort::Value::CreateTensor(m_allocator, shape.data(), shape.size(), type));
        clear(tensors.back(), type);

        TensorViewVariant tensor;
        MakeTensor(tensor, &tensors[i], type, shape, std::string(names[i]));
        views.push_back(std::move(tensor));
    }
}

// The allocator hands out memory as it was left, values of a model freed earlier included;
// a tensor starts at zero instead. The runtime constructs string elements empty itself.
inline void Model::clear(Ort::Value& tensor, ONNXTensorElementDataType type)
{
    if (type == ONNX_TENSOR_ELEMENT_DATA_TYPE_STRING) {
        return;
    }
    const size_t size = elementSize(type);
    if (size == 0) {
        throw std::runtime_error("Unsupported datatype '" + typeName(type) + "'");
    }
    const size_t count = tensor.GetTensorTypeAndShapeInfo().GetElementCount();
    if (count > 0) {
        std::memset(tensor.GetTensorMutableRawData(), 0, count * size);
    }
}

// An output named like an input takes the input's value, one named like an earlier output
// that output's value; every other output is fetched from the run.
inline void Model::planFetches()
{
    m_fetchNames.reserve(m_outputCount);
    m_fetchValues.reserve(m_outputCount);
    m_copies.reserve(m_outputCount);
    const auto sameName = [](const char* name) {
        return [name](const char* other) { return std::strcmp(name, other) == 0; };
    };
    for (size_t i = 0; i < m_outputCount; ++i) {
        const char* name = m_outputNames[i];
        const auto input = std::find_if(m_inputNames.begin(), m_inputNames.end(), sameName(name));
        const auto earlier = std::find_if(m_outputNames.begin(), m_outputNames.begin() + i, sameName(name));
        if (input != m_inputNames.end()) {
            m_copies.push_back({i, &m_inputArray[size_t(input - m_inputNames.begin())]});
        } else if (earlier != m_outputNames.begin() + i) {
            m_copies.push_back({i, &m_outputArray[size_t(earlier - m_outputNames.begin())]});
        } else {
            m_fetchNames.push_back(name);
            m_fetchValues.push_back(m_outputArray[i]);
            continue;
        }
        // One name is one value in the graph, so both tensors were made from the same type and
        // shape; checked all the same, since the copy below relies on it.
        const auto from = m_copies.back().source->GetTensorTypeAndShapeInfo();
        const auto to = m_outputArray[i].GetTensorTypeAndShapeInfo();
        if (from.GetElementType() != to.GetElementType() || from.GetShape() != to.GetShape()) {
            throw std::runtime_error("output " + std::to_string(i) + " '" + name
                                     + "' differs in type or shape from the value of that name");
        }
    }
}

inline void Model::MakeTensor(TensorViewVariant& tensor, Ort::Value* value, ONNXTensorElementDataType type,
                              const std::vector<int64_t>& shape, const std::string& name)
{
    switch (type) {
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_UNDEFINED:
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT16:
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_BFLOAT16:
        throw std::runtime_error("Unsupported datatype '" + typeName(type) + "'");
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT:
        std::cout << "Quelt::Onnx::MakeTensor:: making tensor of type 'float'" << std::endl;
        tensor = std::make_shared<TensorView<float>>(value, type, shape, name);
        break;
    default:
        // Allocated, but without a view: element access refuses it.
        break;
    }
}

inline void Model::run()
{
    Ort::RunOptions runoptions;
    runoptions.SetRunLogVerbosityLevel(5);
    // The tensors allocated at construction go in as they are; the results land in them. An
    // Ort::Value is an OrtValue pointer and nothing else, as the C++ API's own Run relies on.
    // The runtime refuses a run that fetches nothing; with every output a copy, none is needed.
    static_assert(sizeof(Ort::Value) == sizeof(OrtValue*));
    if (!m_fetchNames.empty() || m_outputCount == 0) {
        Ort::ThrowOnError(Ort::GetApi().Run(m_session, runoptions, m_inputNames.data(),
                                            reinterpret_cast<const OrtValue* const*>(m_inputArray.data()),
                                            m_inputCount, m_fetchNames.data(), m_fetchNames.size(),
                                            m_fetchValues.data()));
    }
    for (const Copy& copy : m_copies) {
        copyTensor(*copy.source, m_outputArray[copy.output]);
    }
}

// Between two tensors of one element type and shape.
inline void Model::copyTensor(const Ort::Value& from, Ort::Value& to)
{
    const auto info = from.GetTensorTypeAndShapeInfo();
    const size_t count = info.GetElementCount();
    const ONNXTensorElementDataType type = info.GetElementType();
    if (type == ONNX_TENSOR_ELEMENT_DATA_TYPE_STRING) {
        for (size_t i = 0; i < count; ++i) {
            // By length: an element may hold NUL characters.
            const std::string element = from.GetStringTensorElement(i);
            char* buffer = to.GetResizedStringTensorElementBuffer(i, element.size());
            if (!element.empty()) {
                std::memcpy(buffer, element.data(), element.size());
            }
        }
    } else if (count > 0) {
        std::memcpy(to.GetTensorMutableRawData(), from.GetTensorRawData(), count * elementSize(type));
    }
}

template <typename T>
std::shared_ptr<Model::TensorView<T>> Model::viewOf(const char* side, size_t idx, size_t count,
                                                    const std::vector<const char*>& names,
                                                    std::vector<Ort::Value>& tensors,
                                                    const std::vector<TensorViewVariant>& views)
{
    if (idx >= count) {
        throw std::runtime_error("index " + std::to_string(idx) + " exceeds max number of " + side + "s "
                                 + std::to_string(count));
    }
    // A copy: the view stays alive for the whole access.
    std::shared_ptr<TensorView<T>> tensor = std::get<std::shared_ptr<TensorView<T>>>(views[idx]);
    if (!tensor) {
        throw std::runtime_error("tensor '" + std::string(names[idx]) + "' holds elements of type '"
                                 + typeName(tensors[idx].GetTensorTypeAndShapeInfo().GetElementType())
                                 + "', not float");
    }
    return tensor;
}

template <typename T>
void Model::set(size_t inputIdx, const std::vector<int64_t>& tensorIdx, T value)
{
    auto tensor = viewOf<T>("input", inputIdx, m_inputCount, m_inputNames, m_inputArray, m_inputs);
    tensor->set(tensorIdx, value);
}

template <typename T>
T Model::get(size_t outputIdx, const std::vector<int64_t>& tensorIdx)
{
    auto tensor = viewOf<T>("output", outputIdx, m_outputCount, m_outputNames, m_outputArray, m_outputs);
    return tensor->get(tensorIdx);
}

// Releases in reverse declaration order: for each side the views, the tensors, then the
// name copies; the allocator, session, options and environment follow as members.
inline void Model::release() noexcept
{
    m_copies.clear();
    m_fetchValues.clear();
    m_fetchNames.clear();
    m_outputs.clear();
    m_outputArray.clear();
    for (const char* name : m_outputNames) {
        delete[] name;
    }
    m_outputNames.clear();

    m_inputs.clear();
    m_inputArray.clear();
    for (const char* name : m_inputNames) {
        delete[] name;
    }
    m_inputNames.clear();
}

} // namespace Quelt::Onnx
