// The element-type lists every registration loop runs over, written once.
#pragma once

#include <complex>

#include <boost/hana.hpp>

#include "casters.hpp"

#include "types/Matrix.hpp"
#include "types/Vector.hpp"
#include "types/VectorView.hpp"

namespace Quelt::Python {

namespace hana = boost::hana;

// (element type, letter) in the order s, d, c, z: the order of class creation.
inline constexpr auto typeSet = hana::make_tuple(
    hana::make_pair(hana::type_c<float>, BOOST_HANA_STRING("s")),
    hana::make_pair(hana::type_c<double>, BOOST_HANA_STRING("d")),
    hana::make_pair(hana::type_c<std::complex<float>>, BOOST_HANA_STRING("c")),
    hana::make_pair(hana::type_c<std::complex<double>>, BOOST_HANA_STRING("z")));

// The element types alone, same order: the order of the operation overloads.
inline constexpr auto operationsSet = hana::transform(typeSet, hana::first);

// The container kinds of one element type, in the order vector, view, matrix.
template <typename T>
inline constexpr auto containerSet
    = hana::make_tuple(hana::type_c<Vector<T>>, hana::type_c<VectorView<T>>, hana::type_c<Matrix<T>>);

template <typename C>
inline constexpr bool isMatrix = std::is_same_v<C, Matrix<typename C::SampleType>>;

template <typename T>
inline constexpr bool isComplex = !std::is_floating_point_v<T>;

} // namespace Quelt::Python
