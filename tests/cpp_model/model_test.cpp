// The C++ model runner on its own: exact failures of construction with everything released
// (this executable also runs under a leak checker), and element access against known models.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "types/Model.hpp"

namespace {

using Quelt::Onnx::Model;

const std::string models = QUELT_TEST_MODELS;

// Runs `make` and returns the message it threw as `E`; fails the test when it threw nothing.
template <typename E, typename F>
std::string messageOf(F make)
{
    try {
        make();
    } catch (const E& error) {
        return error.what();
    }
    ADD_FAILURE() << "nothing was thrown";
    return {};
}

class ModelTest : public testing::Test {
protected:
    static void SetUpTestSuite() { Quelt::Onnx::initApi(); }

    // Construction writes progress lines; they are checked from Python, kept out of the log here.
    static std::string load(const std::string& name, std::unique_ptr<Model>* model = nullptr)
    {
        testing::internal::CaptureStdout();
        try {
            auto loaded = std::make_unique<Model>(models + "/" + name);
            if (model != nullptr) {
                *model = std::move(loaded);
            }
        } catch (...) {
            testing::internal::GetCapturedStdout();
            throw;
        }
        return testing::internal::GetCapturedStdout();
    }
};

// Each failure happens part-way through construction, after names, tensors or views exist.
TEST_F(ModelTest, FailuresPartWayReleaseWhatWasAcquired)
{
    for (int round = 0; round < 3; ++round) {
        EXPECT_EQ(messageOf<std::runtime_error>([] { load("bfloat_input.onnx"); }),
                  "Unsupported datatype 'ONNX_TENSOR_ELEMENT_DATA_TYPE_BFLOAT16'");
        EXPECT_EQ(messageOf<std::runtime_error>([] { load("half_output.onnx"); }),
                  "Unsupported datatype 'ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT16'");
        EXPECT_EQ(messageOf<std::runtime_error>([] { load("sequence_input.onnx"); }),
                  "input 0 'items' is not a tensor");
        EXPECT_EQ(messageOf<std::runtime_error>([] { load("sequence_output.onnx"); }),
                  "output 0 'items' is not a tensor");
        EXPECT_NE(messageOf<Ort::Exception>([] { load("dynamic.onnx"); }), "");
        EXPECT_NE(messageOf<Ort::Exception>([] { load("no_such_model.onnx"); }), "");
    }
}

TEST_F(ModelTest, ElementsAreAddressedInRowMajorOrder)
{
    std::unique_ptr<Model> model;
    load("reshape.onnx", &model);
    for (int64_t k = 0; k < 6; ++k) {
        model->set<float>(0, {k / 3, k % 3}, static_cast<float>(10 + k));
        model->set<float>(1, {k}, static_cast<float>(20 + k));
    }
    model->run();
    for (int64_t k = 0; k < 6; ++k) {
        EXPECT_EQ(model->get<float>(0, {k}), 10 + k);
        EXPECT_EQ(model->get<float>(1, {k / 3, k % 3}), 20 + k);
    }
}

TEST_F(ModelTest, RefusedAccessesThrowAndLeaveTheModelUsable)
{
    std::unique_ptr<Model> model;
    load("mixed.onnx", &model);
    EXPECT_EQ(messageOf<std::runtime_error>([&] { model->set<float>(2, {0}, 1.0f); }),
              "index 2 exceeds max number of inputs 2");
    EXPECT_EQ(messageOf<std::runtime_error>([&] { model->get<float>(2, {0}); }),
              "index 2 exceeds max number of outputs 2");
    EXPECT_EQ(messageOf<std::runtime_error>([&] { model->set<float>(1, {0}, 1.0f); }),
              "tensor 'n' holds elements of type 'ONNX_TENSOR_ELEMENT_DATA_TYPE_INT64', not float");
    EXPECT_EQ(messageOf<std::runtime_error>([&] { model->get<float>(0, {0}); }),
              "tensor 'count' holds elements of type 'ONNX_TENSOR_ELEMENT_DATA_TYPE_INT64', not float");
    // Only the float view exists; asking for another element type is a variant mismatch.
    EXPECT_THROW(model->get<int64_t>(0, {0}), std::bad_variant_access);
    EXPECT_THROW(model->set<float>(0, {3}, 1.0f), Ort::Exception);

    for (int64_t i = 0; i < 3; ++i) {
        model->set<float>(0, {i}, 0.5f * static_cast<float>(i));
    }
    model->run();
    for (int64_t i = 0; i < 3; ++i) {
        EXPECT_EQ(model->get<float>(1, {i}), 0.5f * static_cast<float>(i) + 1.0f);
    }
}

// Bytes per element of the fixed-size types the test models use.
size_t bytesPerElement(ONNXTensorElementDataType type)
{
    switch (type) {
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_BOOL:
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT8: return 1;
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT:
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT32: return 4;
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_DOUBLE:
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT64: return 8;
    default: ADD_FAILURE() << "no size for element type " << type; return 0;
    }
}

// Every input and output tensor of a model, and a note of which one it is.
template <typename F>
void forEachTensor(Model& model, F f)
{
    for (size_t i = 0; i < model.inputCount(); ++i) {
        f(model.inputTensor(i), "input " + std::to_string(i));
    }
    for (size_t i = 0; i < model.outputCount(); ++i) {
        f(model.outputTensor(i), "output " + std::to_string(i));
    }
}

void setString(Ort::Value& tensor, size_t index, const std::string& value)
{
    char* buffer = tensor.GetResizedStringTensorElementBuffer(index, value.size());
    std::copy(value.begin(), value.end(), buffer);
}

// Each model's tensors are filled with junk before it is dropped, so that the next model can
// be handed the same memory; every new tensor still starts at zero (strings empty).
TEST_F(ModelTest, TensorsStartAtZero)
{
    for (int round = 0; round < 2; ++round) {
        for (const char* name : {"element_types.onnx", "mixed.onnx", "echoes.onnx", "reshape.onnx", "classifier.onnx"}) {
            SCOPED_TRACE(name);
            std::unique_ptr<Model> model;
            load(name, &model);
            forEachTensor(*model, [](Ort::Value& tensor, const std::string& which) {
                const auto info = tensor.GetTensorTypeAndShapeInfo();
                const size_t count = info.GetElementCount();
                if (info.GetElementType() == ONNX_TENSOR_ELEMENT_DATA_TYPE_STRING) {
                    for (size_t i = 0; i < count; ++i) {
                        EXPECT_EQ(tensor.GetStringTensorElementLength(i), 0u) << which << " element " << i;
                        setString(tensor, i, "junk left behind");
                    }
                    return;
                }
                auto* bytes = static_cast<unsigned char*>(tensor.GetTensorMutableRawData());
                const size_t size = count * bytesPerElement(info.GetElementType());
                EXPECT_EQ(std::count(bytes, bytes + size, 0), static_cast<std::ptrdiff_t>(size)) << which;
                std::fill(bytes, bytes + size, 0xA5);
            });
        }
    }
}

// Outputs that are inputs, or listed twice, hold the graph's values after every run, strings
// (by length, NUL included) and other element types alike.
TEST_F(ModelTest, OutputsHoldWhatTheGraphComputesForThem)
{
    std::unique_ptr<Model> model;
    load("element_types.onnx", &model);
    const std::vector<std::string> words[] = {{"first", std::string("a\0b", 3)}, {"", "second run"}};
    for (int run = 0; run < 2; ++run) {
        const int32_t offset = 10 * run;
        const std::vector<int32_t> ints = {7 + offset, -8, 9};
        std::copy(ints.begin(), ints.end(), model->inputTensor(1).GetTensorMutableData<int32_t>());
        model->inputTensor(0).GetTensorMutableData<double>()[1] = -2.5 + offset;
        model->inputTensor(2).GetTensorMutableData<bool>()[run] = true;
        model->inputTensor(3).GetTensorMutableData<uint8_t>()[4] = static_cast<uint8_t>(200 + run);
        for (size_t i = 0; i < 2; ++i) {
            setString(model->inputTensor(4), i, words[run][i]);
        }
        model->run();

        EXPECT_EQ(model->outputTensor(0).GetTensorMutableData<double>()[1], -2.5 + offset);
        EXPECT_EQ(model->outputTensor(2).GetTensorMutableData<bool>()[run], true);
        EXPECT_EQ(model->outputTensor(3).GetTensorMutableData<uint8_t>()[4], 200 + run);
        for (size_t output : {1, 6}) {
            const int32_t* values = model->outputTensor(output).GetTensorMutableData<int32_t>();
            EXPECT_EQ(std::vector<int32_t>(values, values + 3), ints) << "output " << output;
        }
        for (size_t output : {4, 5}) {
            for (size_t i = 0; i < 2; ++i) {
                EXPECT_EQ(model->outputTensor(output).GetStringTensorElement(i), words[run][i])
                    << "output " << output << " element " << i;
            }
        }
    }
}

} // namespace
