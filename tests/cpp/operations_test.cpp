// The level-1 operations against plain-loop references over every element type and container
// kind, and the refusals of every operation that leave its operands as they were, counts past
// the BLAS limit among them (cheap to reach here with views that claim storage they lack).
#include <algorithm>
#include <complex>
#include <cstddef>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include <gtest/gtest.h>

#include "support.hpp"

#include "operations/axpy.hpp"
#include "operations/copy.hpp"
#include "operations/dot.hpp"
#include "operations/gemm.hpp"
#include "operations/gemv.hpp"
#include "operations/ls.hpp"
#include "operations/matmul.hpp"
#include "operations/matvec.hpp"
#include "operations/scale.hpp"
#include "operations/sum.hpp"
#include "operations/swap.hpp"
#include "types/Matrix.hpp"
#include "types/Vector.hpp"
#include "types/VectorView.hpp"

namespace {

using Quelt::Matrix;
using Quelt::Vector;
using Quelt::VectorView;
using Wide = std::complex<double>;

using Quelt::Testing::messageOf;

template <typename T>
constexpr bool isComplex = !std::is_floating_point_v<T>;

template <typename T>
constexpr double tolerance = std::is_same_v<T, float> || std::is_same_v<T, std::complex<float>> ? 1e-5 : 1e-12;

template <typename T>
T sample(std::mt19937& rng)
{
    std::uniform_real_distribution<double> d(-1, 1);
    if constexpr (isComplex<T>) {
        return T(d(rng), d(rng));
    } else {
        return T(d(rng));
    }
}

// n elements: a view sits two elements into a vector with two spare elements after it, so that
// a write outside its window shows in the storage; a matrix has 2 rows.
template <typename C>
C make(size_t n)
{
    using T = typename C::SampleType;
    if constexpr (std::is_same_v<C, Vector<T>>) {
        return C(n);
    } else if constexpr (std::is_same_v<C, VectorView<T>>) {
        return Vector<T>(n + 4)[{2, 2 + n}];
    } else {
        return C(2, n / 2);
    }
}

template <typename C>
size_t offset(const C& c)
{
    if constexpr (std::is_same_v<C, VectorView<typename C::SampleType>>) {
        return c.m_offset;
    } else {
        return 0;
    }
}

// Every element of the storage a container lives in, spares included.
template <typename C>
std::vector<typename C::SampleType> storage(const C& c)
{
    const size_t extent = std::is_same_v<C, VectorView<typename C::SampleType>> ? offset(c) + c.numel() + 2
                                                                                 : c.numel();
    return {c.m_data.get(), c.m_data.get() + extent};
}

template <typename C>
std::vector<Wide> fill(C& c, std::mt19937& rng)
{
    auto all = storage(c);
    for (auto& value : all) {
        value = sample<typename C::SampleType>(rng);
    }
    std::copy(all.begin(), all.end(), c.m_data.get());
    return {all.begin(), all.end()};
}

template <typename C>
void expectStorage(const C& c, const std::vector<Wide>& expected)
{
    using T = typename C::SampleType;
    const auto actual = storage(c);
    ASSERT_EQ(actual.size(), expected.size());
    for (size_t i = 0; i < actual.size(); ++i) {
        EXPECT_LE(std::abs(Wide(actual[i]) - expected[i]), tolerance<T> * (1 + std::abs(expected[i])))
            << "storage element " << i;
    }
}

// Bitwise, so that NaNs compare too.
template <typename C>
void expectUntouched(const C& c, const std::vector<typename C::SampleType>& before)
{
    const auto after = storage(c);
    ASSERT_EQ(after.size(), before.size());
    EXPECT_EQ(std::memcmp(after.data(), before.data(), after.size() * sizeof(after[0])), 0);
}

template <typename T, typename F>
void forEachKind(F&& f)
{
    f(std::type_identity<Vector<T>>{});
    f(std::type_identity<VectorView<T>>{});
    f(std::type_identity<Matrix<T>>{});
}

template <typename C>
std::string kindName()
{
    using T = typename C::SampleType;
    return std::is_same_v<C, Vector<T>> ? "vector" : std::is_same_v<C, VectorView<T>> ? "view" : "matrix";
}

template <typename T>
class Operations : public ::testing::Test {};
using ElementTypes = ::testing::Types<float, double, std::complex<float>, std::complex<double>>;
TYPED_TEST_SUITE(Operations, ElementTypes);

TYPED_TEST(Operations, LevelOneMatchesReferenceOnEveryKindPair)
{
    using T = TypeParam;
    std::mt19937 rng(1);
    forEachKind<T>([&](auto xKind) {
        using X = typename decltype(xKind)::type;
        forEachKind<T>([&](auto yKind) {
            using Y = typename decltype(yKind)::type;
            SCOPED_TRACE(kindName<X>() + ", " + kindName<Y>());
            // x has 6 elements, y 8: only y's first 6 take part.
            X x = make<X>(6);
            Y y = make<Y>(8);
            const size_t ox = offset(x), oy = offset(y);
            const T alpha = sample<T>(rng);

            auto sx = fill(x, rng), sy = fill(y, rng);
            auto expected = sy;
            for (size_t i = 0; i < 6; ++i) {
                expected[oy + i] += Wide(alpha) * sx[ox + i];
            }
            EXPECT_EQ(&Quelt::axpy(alpha, x, y), &y);
            expectStorage(y, expected);
            expectStorage(x, sx);

            sx = fill(x, rng), sy = fill(y, rng), expected = sy;
            for (size_t i = 0; i < 6; ++i) {
                expected[oy + i] += sx[ox + i];
            }
            EXPECT_EQ(&Quelt::sum(x, y), &y);
            expectStorage(y, expected);

            sx = fill(x, rng), sy = fill(y, rng), expected = sy;
            for (size_t i = 0; i < 6; ++i) {
                expected[oy + i] = sx[ox + i];
            }
            EXPECT_EQ(&Quelt::copy(x, y), &y);
            expectStorage(y, expected);
            expectStorage(x, sx);

            sx = fill(x, rng), sy = fill(y, rng);
            auto expectedX = sx, expectedY = sy;
            for (size_t i = 0; i < 6; ++i) {
                std::swap(expectedX[ox + i], expectedY[oy + i]);
            }
            Quelt::swap(x, y);
            expectStorage(x, expectedX);
            expectStorage(y, expectedY);

            sx = fill(x, rng), sy = fill(y, rng);
            Wide plain = 0, conjugated = 0;
            for (size_t i = 0; i < 6; ++i) {
                plain += sx[ox + i] * sy[oy + i];
                conjugated += std::conj(sx[ox + i]) * sy[oy + i];
            }
            EXPECT_LE(std::abs(Wide(Quelt::dot(x, y)) - plain), 10 * tolerance<T>);
            if constexpr (isComplex<T>) {
                EXPECT_LE(std::abs(Wide(Quelt::hdot(x, y)) - conjugated), 10 * tolerance<T>);
            }
            expectStorage(x, sx);
            expectStorage(y, sy);

            sx = fill(x, rng), expected = sx;
            for (size_t i = 0; i < 6; ++i) {
                expected[ox + i] *= Wide(alpha);
            }
            EXPECT_EQ(&Quelt::scale(alpha, x), &x);
            expectStorage(x, expected);
        });
    });
}

TYPED_TEST(Operations, ShortSecondOperandIsRefusedUntouched)
{
    using T = TypeParam;
    std::mt19937 rng(3);
    Vector<T> x(5);
    VectorView<T> y = make<VectorView<T>>(4);
    fill(x, rng), fill(y, rng);
    const auto sx = storage(x), sy = storage(y);
    const std::string tail = ", y holds 4 elements, fewer than the 5 elements of x";
    EXPECT_EQ(messageOf([&] { Quelt::axpy(T(2), x, y); }), "In axpy" + tail);
    EXPECT_EQ(messageOf([&] { Quelt::sum(x, y); }), "In axpy" + tail);
    EXPECT_EQ(messageOf([&] { Quelt::copy(x, y); }), "In copy" + tail);
    EXPECT_EQ(messageOf([&] { Quelt::swap(x, y); }), "In swap" + tail);
    EXPECT_EQ(messageOf([&] { Quelt::dot(x, y); }), "In dot" + tail);
    if constexpr (isComplex<T>) {
        EXPECT_EQ(messageOf([&] { Quelt::hdot(x, y); }), "In hdot" + tail);
    }
    expectUntouched(x, sx);
    expectUntouched(y, sy);
}

// The counts are checked before any element is reached, so views over one element can claim
// lengths past the limit without the storage to back them.
TYPED_TEST(Operations, CountsPastTheBlasLimitAreRefused)
{
    using T = TypeParam;
    const size_t big = size_t(1) << 31;
    const std::string tail = ", size 2147483648 exceeds the BLAS limit of 2147483647";
    Vector<T> cell(1);
    cell[0] = T(7);
    VectorView<T> huge({0, big}, cell.m_data);
    VectorView<T> other({0, big}, cell.m_data);
    EXPECT_EQ(messageOf([&] { Quelt::scale(T(2), huge); }), "In scale" + tail);
    EXPECT_EQ(messageOf([&] { Quelt::axpy(T(2), huge, other); }), "In axpy" + tail);
    EXPECT_EQ(messageOf([&] { Quelt::sum(huge, other); }), "In axpy" + tail);
    EXPECT_EQ(messageOf([&] { Quelt::copy(huge, other); }), "In copy" + tail);
    EXPECT_EQ(messageOf([&] { Quelt::swap(huge, other); }), "In swap" + tail);
    EXPECT_EQ(messageOf([&] { Quelt::dot(huge, other); }), "In dot" + tail);
    if constexpr (isComplex<T>) {
        EXPECT_EQ(messageOf([&] { Quelt::hdot(huge, other); }), "In hdot" + tail);
    }

    // One dimension past the limit, the other empty: the shapes agree, so the count is what
    // is refused.
    EXPECT_EQ(messageOf([&] { Quelt::ls(Matrix<T>(big, 0), huge); }), "In ls" + tail);
    EXPECT_EQ(messageOf([&] { Quelt::ls(Matrix<T>(0, big), huge); }), "In ls" + tail);
    Vector<T> none(0);
    EXPECT_EQ(messageOf([&] { Quelt::gemv(T(1), T(0), Matrix<T>(big, 0), none, huge); }), "In gemv" + tail);
    EXPECT_EQ(messageOf([&] { Quelt::matvec(Matrix<T>(0, big), huge, none); }), "In gemv" + tail);
    Matrix<T> tall(big, 0), wide(0, big), empty(0, 0);
    EXPECT_EQ(messageOf([&] { Quelt::gemm(T(1), T(0), tall, empty, tall); }), "In gemm" + tail);
    EXPECT_EQ(messageOf([&] { Quelt::matmul(empty, wide, wide); }), "In gemm" + tail);
    EXPECT_EQ(messageOf([&] { Quelt::matmul(wide, tall, empty); }), "In gemm" + tail);
    EXPECT_EQ(cell[0], T(7));
}

} // namespace
