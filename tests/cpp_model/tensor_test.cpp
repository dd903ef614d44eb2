// Quelt::Onnx::Tensor and element counts: sizes of every element type, zero-filled memory that
// the runtime value lies over, strings with NUL characters, and the refusals' exact messages.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "onnx/Tensor.hpp"

namespace {

using namespace Quelt::Onnx;

class TensorTest : public testing::Test {
protected:
    static void SetUpTestSuite() { initApi(); }
};

TEST_F(TensorTest, ElementCounts)
{
    const int64_t huge = int64_t(1) << 62;
    const struct {
        std::vector<int64_t> shape;
        size_t count;
    } counts[] = {{{}, 1}, {{3, 4}, 12}, {{0, huge}, 0}, {{huge, 0}, 0}, {{huge, huge, 0, 5}, 0}, {{7, 1, 0}, 0}};
    for (const auto& c : counts) {
        EXPECT_EQ(elementCount(c.shape), c.count);
    }
    EXPECT_THROW(elementCount({huge, 2}), std::bad_array_new_length);
    EXPECT_THROW(elementCount({2, huge}), std::bad_array_new_length);
    try {
        elementCount({2, -1, 0});
        FAIL() << "a negative size was taken";
    } catch (const std::invalid_argument& error) {
        EXPECT_STREQ(error.what(), "negative dimension -1");
    }
}

TEST_F(TensorTest, OwnMemoryIsZeroedAndFedInPlace)
{
    for (const Quelt::ElementInfo& entry : Quelt::elementTable) {
        if (entry.kind == Quelt::ElementKind::String) {
            continue;
        }
        SCOPED_TRACE(entry.name);
        Tensor tensor(onnxType(entry.code), {2, 3});
        EXPECT_EQ(tensor.numel(), 6u);
        EXPECT_EQ(tensor.itemSize(), entry.size);
        EXPECT_EQ(tensor.byteCount(), 6 * entry.size);
        const auto* bytes = static_cast<const unsigned char*>(tensor.data());
        EXPECT_EQ(std::vector<unsigned char>(bytes, bytes + tensor.byteCount()),
                  std::vector<unsigned char>(tensor.byteCount(), 0));
        std::optional<Ort::Value> holder;
        if (entry.kind == Quelt::ElementKind::Complex) {
            // The runtime makes no complex tensors: feeding one asks it again, for its message.
            EXPECT_THROW(tensor.feedValue(holder), Ort::Exception);
            continue;
        }
        const Ort::ConstValue fed(tensor.feedValue(holder));
        EXPECT_EQ(fed.GetTensorRawData(), tensor.data());
        EXPECT_EQ(fed.GetTensorTypeAndShapeInfo().GetShape(), (std::vector<int64_t>{2, 3}));
        // Taken over, a value keeps its memory: the new tensor reads the same place.
        Tensor wrapped(Tensor::wrap(onnxType(entry.code), tensor.data(), tensor.byteCount(), {6}));
        EXPECT_EQ(wrapped.data(), tensor.data());
        EXPECT_EQ(wrapped.shape(), (std::vector<int64_t>{6}));
    }
}

TEST_F(TensorTest, StringsKeepEveryByte)
{
    Tensor tensor(ONNX_TENSOR_ELEMENT_DATA_TYPE_STRING, {3});
    EXPECT_TRUE(tensor.isString());
    EXPECT_EQ(tensor.data(), nullptr);
    const std::string texts[] = {std::string("a\0b", 3), "", "\xff\xfe"};
    for (size_t i = 0; i < 3; ++i) {
        tensor.setString(i, texts[i]);
    }
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(tensor.stringAt(i), texts[i]);
    }
}

TEST_F(TensorTest, RefusedElementTypes)
{
    for (const auto type : {ONNX_TENSOR_ELEMENT_DATA_TYPE_UNDEFINED, ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT8E5M2}) {
        try {
            Tensor tensor(type, {1});
            FAIL() << "made a tensor of " << typeName(type);
        } catch (const std::invalid_argument& error) {
            EXPECT_EQ(error.what(), "element type " + typeName(type) + " is not supported");
        }
    }
    EXPECT_EQ(elementName(ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT8E5M2), "ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT8E5M2");
    EXPECT_EQ(elementName(ONNX_TENSOR_ELEMENT_DATA_TYPE_BFLOAT16), "bfloat16");
}

} // namespace
