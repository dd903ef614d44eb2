// The C++ model runner on its own: exact failures of construction with everything released
// (this executable also runs under a leak checker), and element access against known models.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "types/Model"

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

} // namespace
