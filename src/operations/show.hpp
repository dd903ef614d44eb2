// Quelt::show: the fixed text rendering of vectors, views and matrices.
#pragma once

#include <algorithm>
#include <complex>
#include <cstddef>
#include <iomanip>
#include <sstream>

#include "types/Matrix.hpp"
#include "types/Vector.hpp"
#include "types/VectorView.hpp"

namespace Quelt {

namespace detail {

constexpr int showWidth = 14;
constexpr size_t showLeadingColumns = 3;

// Real elements print as doubles (a float widens on insertion); complex ones through the
// standard inserter, which applies the field width to the whole "(re,im)" text.
template <typename T>
void showElement(std::stringstream& stream, const T& value)
{
    stream << std::setw(showWidth) << std::scientific << std::setprecision(showWidth) << value;
}

template <typename X>
void showColumn(const X& x, std::stringstream& stream)
{
    stream << "Column vector of size: " << x.numel() << std::endl;
    for (size_t i = 0; i < x.numel(); ++i) {
        stream << "[";
        showElement(stream, x[i]);
        stream << "]" << std::endl;
    }
}

} // namespace detail

template <typename T>
void show(const Vector<T>& x, std::stringstream& stream)
{
    detail::showColumn(x, stream);
}

template <typename T>
void show(const VectorView<T>& x, std::stringstream& stream)
{
    detail::showColumn(x, stream);
}

// Every row is shown; of a wide row the first three elements and the last. A matrix that
// holds no elements is its header alone: it may have more rows than any text could show.
template <typename T>
void show(const Matrix<T>& x, std::stringstream& stream)
{
    const size_t rows = x.template dim<0>();
    const size_t cols = x.template dim<1>();
    stream << "Matrix of size: (" << rows << ", " << cols << ")" << std::endl;
    if (x.numel() == 0) {
        return;
    }
    for (size_t i = 0; i < rows; ++i) {
        stream << "[";
        const size_t leading = std::min(cols - 1, detail::showLeadingColumns);
        for (size_t j = 0; j < leading; ++j) {
            detail::showElement(stream, x[{i, j}]);
            stream << ", ";
        }
        if (cols > detail::showLeadingColumns + 1) {
            stream << "..., ";
        }
        detail::showElement(stream, x[{i, cols - 1}]);
        stream << "]" << std::endl;
    }
}

} // namespace Quelt
