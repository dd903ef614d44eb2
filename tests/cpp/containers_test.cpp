// Vectors, views and matrices: storage sharing, index checks and their exact messages.
#include <complex>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "support.hpp"

#include "types/Matrix.hpp"
#include "types/Vector.hpp"
#include "types/VectorView.hpp"

namespace {

using Quelt::Matrix;
using Quelt::Vector;
using Quelt::VectorView;

using Quelt::Testing::messageOf;

template <typename T>
class Containers : public ::testing::Test {};
using ElementTypes = ::testing::Types<float, double, std::complex<float>, std::complex<double>>;
TYPED_TEST_SUITE(Containers, ElementTypes);

TYPED_TEST(Containers, VectorStartsZeroAndSharesStorageWithCopies)
{
    Vector<TypeParam> v(5);
    for (size_t i = 0; i < v.numel(); ++i) {
        EXPECT_EQ(v[i], TypeParam(0));
    }
    Vector<TypeParam> copy(v);
    copy[3] = TypeParam(7);
    EXPECT_EQ(v[3], TypeParam(7));
    EXPECT_EQ(copy.get(), v.get());
    EXPECT_EQ(v.template dim<0>(), 5u);
}

TYPED_TEST(Containers, ViewsWindowTheSharedStorage)
{
    Vector<TypeParam> v(10);
    for (size_t i = 0; i < 10; ++i) {
        v[i] = TypeParam(float(i));
    }
    auto w = v[{2, 5}];
    EXPECT_EQ(w.numel(), 3u);
    EXPECT_EQ(w.get(), v.get() + 2);
    EXPECT_EQ(w[0], TypeParam(2));
    w[2] = TypeParam(40);
    EXPECT_EQ(v[4], TypeParam(40));
    EXPECT_EQ(messageOf([&] { (void)w[3]; }), "index 3 exceeds max number of elements 3");

    auto ww = w[{1, 3}];
    EXPECT_EQ(ww.get(), v.get() + 3);
    EXPECT_EQ(ww.numel(), 2u);
    EXPECT_EQ(messageOf([&] { (void)w[{1, 4}]; }), "index 4 exceeds max number of elements 3");

    EXPECT_EQ((v[{0, 10}]).numel(), 10u);
    EXPECT_EQ(messageOf([&] { (void)v[{0, 11}]; }), "index 11 exceeds max number of elements 10");
    EXPECT_EQ(messageOf([&] { (void)v[10]; }), "index 10 exceeds max number of elements 10");
    const Vector<TypeParam>& cv = v;
    EXPECT_EQ(messageOf([&] { (void)cv[10]; }), "index 10 exceeds max number of elements 10");
}

TYPED_TEST(Containers, ReversedRangeGivesEmptyViewAtItsEnd)
{
    Vector<TypeParam> v(10);
    auto w = v[{5, 2}];
    EXPECT_EQ(w.numel(), 0u);
    EXPECT_EQ(w.get(), v.get() + 2);
    auto inner = v[{3, 9}];
    auto empty = inner[{4, 1}];
    EXPECT_EQ(empty.numel(), 0u);
    EXPECT_EQ(empty.get(), v.get() + 4);
    // The end is still checked, reversed or not.
    EXPECT_EQ(messageOf([&] { (void)v[{12, 11}]; }), "index 11 exceeds max number of elements 10");
}

TYPED_TEST(Containers, ViewOutlivesItsVector)
{
    auto* v = new Vector<TypeParam>(4);
    (*v)[3] = TypeParam(9);
    VectorView<TypeParam> w = (*v)[{1, 4}];
    delete v;
    EXPECT_EQ(w[2], TypeParam(9));
}

TYPED_TEST(Containers, EmptyVector)
{
    Vector<TypeParam> v(0);
    EXPECT_EQ(v.numel(), 0u);
    EXPECT_EQ((v[{0, 0}]).numel(), 0u);
}

TYPED_TEST(Containers, MatrixIsColumnMajorWithCheckedElements)
{
    Matrix<TypeParam> a(2, 3);
    EXPECT_EQ(a.numel(), 6u);
    EXPECT_EQ(a.template dim<0>(), 2u);
    EXPECT_EQ(a.template dim<1>(), 3u);
    a[{1, 2}] = TypeParam(5);
    EXPECT_EQ(a.get()[5], TypeParam(5));
    a[{1, 0}] = TypeParam(3);
    EXPECT_EQ(a.get()[1], TypeParam(3));

    EXPECT_EQ(messageOf([&] { (void)a[{0, 3}]; }), "requested array index 6exceeds max number of elements 6");
    EXPECT_EQ(messageOf([&] { (void)a[{2, 0}]; }),
              "index for dimension 02exceeds max number of elements for that dimension 2");
    // A column index that wraps around size_t lands inside the storage and is caught by the
    // per-dimension check.
    const size_t wrap = (size_t(1) << 63);
    EXPECT_EQ(messageOf([&] { (void)a[{0, wrap}]; }),
              "index for dimension 1" + std::to_string(wrap) + "exceeds max number of elements for that dimension 3");

    Matrix<TypeParam> copy(a);
    copy[{0, 0}] = TypeParam(8);
    EXPECT_EQ((a[{0, 0}]), TypeParam(8));
}

TEST(Matrix, OverflowingShapeIsRefusedBeforeAllocation)
{
    const size_t big = size_t(1) << 33;
    EXPECT_EQ(messageOf([&] { Matrix<double>(big, big); }),
              "matrix of 8589934592 rows and 8589934592 columns has too many elements");
    EXPECT_EQ(Matrix<double>(big, 0).numel(), 0u);
}

} // namespace

namespace {

// The makers that leave storage for their caller to write refuse what the zeroing ones refuse.
TEST(ForOverwrite, RefusesWhatTheZeroedStorageRefuses)
{
    const size_t big = size_t(1) << 33;
    EXPECT_EQ(messageOf([&] { Matrix<double>(big, big, Quelt::ForOverwrite{}); }),
              "matrix of 8589934592 rows and 8589934592 columns has too many elements");
    EXPECT_THROW(Vector<double>(size_t(PTRDIFF_MAX) / sizeof(double) + 1, Quelt::ForOverwrite{}),
                 std::bad_array_new_length);
    EXPECT_THROW(Matrix<std::complex<double>>(size_t(PTRDIFF_MAX) / 16 + 1, 1, Quelt::ForOverwrite{}),
                 std::bad_array_new_length);
    Vector<float> v(3, Quelt::ForOverwrite{});
    Matrix<float> a(2, 0, Quelt::ForOverwrite{});
    EXPECT_EQ(v.numel(), 3u);
    EXPECT_EQ(a.numel(), 0u);
}

} // namespace
