// The text rendering of the containers, compared whole.
#include <cmath>
#include <complex>
#include <limits>
#include <sstream>
#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "operations/show.hpp"

namespace {

template <typename X>
std::string rendered(const X& x)
{
    std::stringstream s;
    Quelt::show(x, s);
    return s.str();
}

TEST(Show, VectorOfDoubles)
{
    Quelt::Vector<double> v(3);
    v[0] = 1;
    v[1] = -0.5;
    v[2] = 2;
    EXPECT_EQ(rendered(v), "Column vector of size: 3\n[1.00000000000000e+00]\n[-5.00000000000000e-01]\n"
                           "[2.00000000000000e+00]\n");
    EXPECT_EQ(rendered(Quelt::Vector<float>(0)), "Column vector of size: 0\n");
}

TEST(Show, FloatsWidenComplexAndNonFinite)
{
    Quelt::Vector<float> f(3);
    f[0] = 0.1f;
    f[1] = std::numeric_limits<float>::quiet_NaN();
    f[2] = -std::numeric_limits<float>::infinity();
    EXPECT_EQ(rendered(f), "Column vector of size: 3\n[1.00000001490116e-01]\n[           nan]\n[          -inf]\n");

    Quelt::Vector<std::complex<float>> c(1);
    c[0] = {1, 2};
    EXPECT_EQ(rendered(c), "Column vector of size: 1\n[(1.00000000000000e+00,2.00000000000000e+00)]\n");
}

TEST(Show, ViewRendersItsOwnWindow)
{
    Quelt::Vector<double> v(4);
    v[2] = 3;
    EXPECT_EQ(rendered(v[{2, 3}]), "Column vector of size: 1\n[3.00000000000000e+00]\n");
}

TEST(Show, MatrixRowsAndWideRows)
{
    Quelt::Matrix<double> a(2, 2);
    a[{0, 0}] = 1;
    a[{0, 1}] = 2;
    a[{1, 0}] = 3;
    a[{1, 1}] = 4;
    EXPECT_EQ(rendered(a), "Matrix of size: (2, 2)\n[1.00000000000000e+00, 2.00000000000000e+00]\n"
                           "[3.00000000000000e+00, 4.00000000000000e+00]\n");

    Quelt::Matrix<double> wide(1, 6);
    for (size_t j = 0; j < 6; ++j) {
        wide[{0, j}] = double(j);
    }
    EXPECT_EQ(rendered(wide), "Matrix of size: (1, 6)\n[0.00000000000000e+00, 1.00000000000000e+00, "
                              "2.00000000000000e+00, ..., 5.00000000000000e+00]\n");

    Quelt::Matrix<float> four(1, 4);
    EXPECT_EQ(rendered(four), "Matrix of size: (1, 4)\n[0.00000000000000e+00, 0.00000000000000e+00, "
                              "0.00000000000000e+00, 0.00000000000000e+00]\n");
    EXPECT_EQ(rendered(Quelt::Matrix<float>(3, 1)),
              "Matrix of size: (3, 1)\n[0.00000000000000e+00]\n[0.00000000000000e+00]\n[0.00000000000000e+00]\n");
}

// The header alone, however many rows: 2^40 rows of nothing would otherwise be 2^40 lines.
TEST(Show, MatricesWithoutElements)
{
    const size_t huge = size_t(1) << 40;
    for (const auto& [rows, cols, header] : {std::tuple<size_t, size_t, std::string>{0, 5, "(0, 5)"},
                                             {3, 0, "(3, 0)"},
                                             {0, 0, "(0, 0)"},
                                             {huge, 0, "(1099511627776, 0)"}}) {
        const std::string expected = "Matrix of size: " + header + "\n";
        EXPECT_EQ(rendered(Quelt::Matrix<float>(rows, cols)), expected);
        EXPECT_EQ(rendered(Quelt::Matrix<std::complex<double>>(rows, cols)), expected);
    }
}

} // namespace
