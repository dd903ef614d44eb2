// Quelt's element types, written once: each C++ element type's name, buffer format, kind, item
// size, the runtime's numeric type code and the container letter, as traits over one type list,
// a table made from them, and a visitor from a code to its C++ type. Needs no runtime headers:
// the codes are the runtime's own numbers, and src/onnx/OnnxRuntime.hpp checks that they match.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>

namespace Quelt {

// The runtime's element type numbers (those of the ONNX format).
enum class ElementCode : int {
    Undefined = 0, Float = 1, UInt8 = 2, Int8 = 3, UInt16 = 4, Int16 = 5, Int32 = 6, Int64 = 7, String = 8,
    Bool = 9, Float16 = 10, Double = 11, UInt32 = 12, UInt64 = 13, Complex64 = 14, Complex128 = 15,
    BFloat16 = 16, Float8E4M3FN = 17, Float8E4M3FNUZ = 18, Float8E5M2 = 19, Float8E5M2FNUZ = 20,
};

enum class ElementKind { Bool, Signed, Unsigned, Real, Complex, String };

// A binary floating-point format of 16 bits: `M` mantissa bits, exponents up to `MaxExp`.
// Made from a double by one rounding to nearest even (never through float first, which
// would round twice).
template <int M, int MaxExp>
struct Float16Bits {
    uint16_t bits = 0;

    static constexpr int minExp = 1 - MaxExp;
    static constexpr uint16_t infinity = uint16_t(((1u << (15 - M)) - 1) << M);

    static Float16Bits fromDouble(double v)
    {
        const uint16_t sign = std::signbit(v) ? 0x8000 : 0;
        const double a = std::fabs(v);
        if (std::isnan(v)) {
            return {uint16_t(sign | infinity | (1u << (M - 1)))};
        }
        if (std::isinf(v)) {
            return {uint16_t(sign | infinity)};
        }
        // The spacing of representable values around `a`: scaled by it, the rounding is the
        // double's own (nearest even), and exact, since the scales are powers of two.
        const int e = a == 0 ? minExp : std::max(std::ilogb(a), minExp);
        const double r = std::nearbyint(std::ldexp(a, M - e));
        const double rounded = std::ldexp(r, e - M);
        if (rounded >= std::ldexp(1.0, MaxExp + 1)) {
            return {uint16_t(sign | infinity)};
        }
        if (rounded < std::ldexp(1.0, minExp)) {
            return {uint16_t(sign | uint16_t(r))}; // subnormal or zero: the mantissa alone
        }
        const int re = std::ilogb(rounded);
        const auto mantissa = uint16_t(std::ldexp(rounded, M - re) - std::ldexp(1.0, M));
        return {uint16_t(sign | uint16_t((re + MaxExp) << M) | mantissa)};
    }

    // An integer of up to 64 bits, rounded once. Through a double rounded to odd: exact below
    // 2^53, and above it the lowest kept bit says whether any bits below it were set, which is
    // all the one rounding to 16 bits needs (a plain conversion would round twice).
    template <typename I>
    static Float16Bits fromInteger(I v)
    {
        using U = std::make_unsigned_t<I>;
        const U magnitude = v < 0 ? U(U(0) - U(v)) : U(v);
        const int shift = std::max(0, int(std::bit_width(magnitude)) - 53);
        U kept = magnitude >> shift;
        if (shift != 0 && (magnitude & ((U(1) << shift) - 1)) != 0) {
            kept |= 1;
        }
        const double d = std::ldexp(double(kept), shift);
        return fromDouble(v < 0 ? -d : d);
    }

    double toDouble() const
    {
        const double sign = bits & 0x8000 ? -1.0 : 1.0;
        const int field = (bits & 0x7fff) >> M;
        const int mantissa = bits & ((1 << M) - 1);
        if (field == (1 << (15 - M)) - 1) {
            return mantissa ? std::nan("") : sign * HUGE_VAL;
        }
        if (field == 0) {
            return sign * std::ldexp(double(mantissa), minExp - M);
        }
        return sign * std::ldexp(double(mantissa + (1 << M)), field - MaxExp - M);
    }
};

using Float16 = Float16Bits<10, 15>;
using BFloat16 = Float16Bits<7, 127>;

struct ElementInfo {
    ElementCode code;
    const char* name;
    const char* format; // the buffer protocol's; nullptr for strings
    ElementKind kind;
    size_t size;        // bytes per element; 0 for strings
    char letter;        // the container classes' letter (s d c z); 0 for the others
};

template <typename T>
struct ElementOf;

template <typename T, ElementCode C, ElementKind K, char L = 0>
struct ElementEntry {
    using type = T;
    static constexpr ElementCode code = C;
    static constexpr ElementKind kind = K;
    static constexpr char letter = L;
    static constexpr size_t size = std::is_same_v<T, std::string> ? 0 : sizeof(T);
};

// clang-format off
template <> struct ElementOf<float> : ElementEntry<float, ElementCode::Float, ElementKind::Real, 's'> { static constexpr const char* name = "float32"; static constexpr const char* format = "f"; };
template <> struct ElementOf<double> : ElementEntry<double, ElementCode::Double, ElementKind::Real, 'd'> { static constexpr const char* name = "float64"; static constexpr const char* format = "d"; };
template <> struct ElementOf<Float16> : ElementEntry<Float16, ElementCode::Float16, ElementKind::Real> { static constexpr const char* name = "float16"; static constexpr const char* format = "e"; };
// No buffer format names it: its raw bits are exported, as uint16.
template <> struct ElementOf<BFloat16> : ElementEntry<BFloat16, ElementCode::BFloat16, ElementKind::Real> { static constexpr const char* name = "bfloat16"; static constexpr const char* format = "H"; };
template <> struct ElementOf<int8_t> : ElementEntry<int8_t, ElementCode::Int8, ElementKind::Signed> { static constexpr const char* name = "int8"; static constexpr const char* format = "b"; };
template <> struct ElementOf<uint8_t> : ElementEntry<uint8_t, ElementCode::UInt8, ElementKind::Unsigned> { static constexpr const char* name = "uint8"; static constexpr const char* format = "B"; };
template <> struct ElementOf<int16_t> : ElementEntry<int16_t, ElementCode::Int16, ElementKind::Signed> { static constexpr const char* name = "int16"; static constexpr const char* format = "h"; };
template <> struct ElementOf<uint16_t> : ElementEntry<uint16_t, ElementCode::UInt16, ElementKind::Unsigned> { static constexpr const char* name = "uint16"; static constexpr const char* format = "H"; };
template <> struct ElementOf<int32_t> : ElementEntry<int32_t, ElementCode::Int32, ElementKind::Signed> { static constexpr const char* name = "int32"; static constexpr const char* format = "i"; };
template <> struct ElementOf<uint32_t> : ElementEntry<uint32_t, ElementCode::UInt32, ElementKind::Unsigned> { static constexpr const char* name = "uint32"; static constexpr const char* format = "I"; };
template <> struct ElementOf<int64_t> : ElementEntry<int64_t, ElementCode::Int64, ElementKind::Signed> { static constexpr const char* name = "int64"; static constexpr const char* format = "q"; };
template <> struct ElementOf<uint64_t> : ElementEntry<uint64_t, ElementCode::UInt64, ElementKind::Unsigned> { static constexpr const char* name = "uint64"; static constexpr const char* format = "Q"; };
template <> struct ElementOf<bool> : ElementEntry<bool, ElementCode::Bool, ElementKind::Bool> { static constexpr const char* name = "bool"; static constexpr const char* format = "?"; };
template <> struct ElementOf<std::string> : ElementEntry<std::string, ElementCode::String, ElementKind::String> { static constexpr const char* name = "string"; static constexpr const char* format = nullptr; };
template <> struct ElementOf<std::complex<float>> : ElementEntry<std::complex<float>, ElementCode::Complex64, ElementKind::Complex, 'c'> { static constexpr const char* name = "complex64"; static constexpr const char* format = "Zf"; };
template <> struct ElementOf<std::complex<double>> : ElementEntry<std::complex<double>, ElementCode::Complex128, ElementKind::Complex, 'z'> { static constexpr const char* name = "complex128"; static constexpr const char* format = "Zd"; };
// clang-format on

template <typename... Ts>
struct TypeList {};

// Every element type, in the order users see them listed.
using ElementTypes = TypeList<float, double, Float16, BFloat16, int8_t, uint8_t, int16_t, uint16_t, int32_t, uint32_t,
                              int64_t, uint64_t, bool, std::string, std::complex<float>, std::complex<double>>;

template <typename T>
struct TypeTag {
    using type = T;
};

namespace detail {

template <typename... Ts>
constexpr auto tableOf(TypeList<Ts...>)
{
    return std::array<ElementInfo, sizeof...(Ts)>{
        {{ElementOf<Ts>::code, ElementOf<Ts>::name, ElementOf<Ts>::format, ElementOf<Ts>::kind, ElementOf<Ts>::size,
          ElementOf<Ts>::letter}...}};
}

template <typename F, typename T, typename... Rest>
decltype(auto) visitIn(ElementCode code, F&& f)
{
    if constexpr (sizeof...(Rest) == 0) {
        if (code != ElementOf<T>::code) {
            throw std::invalid_argument("element type " + std::to_string(int(code)) + " is not supported");
        }
        return f(TypeTag<T>{});
    } else {
        if (code == ElementOf<T>::code) {
            return f(TypeTag<T>{});
        }
        return visitIn<F, Rest...>(code, std::forward<F>(f));
    }
}

template <typename F, typename... Ts>
decltype(auto) visitList(TypeList<Ts...>, ElementCode code, F&& f)
{
    return visitIn<F, Ts...>(code, std::forward<F>(f));
}

} // namespace detail

inline constexpr auto elementTable = detail::tableOf(ElementTypes{});

// Calls f(TypeTag<T>{}) with the element type of `code`; std::invalid_argument for the codes
// the table does not hold (undefined, the 8-bit float formats).
template <typename F>
decltype(auto) visitElement(ElementCode code, F&& f)
{
    return detail::visitList(ElementTypes{}, code, std::forward<F>(f));
}

// nullptr for the codes the table does not hold.
inline const ElementInfo* findElement(ElementCode code)
{
    for (const ElementInfo& entry : elementTable) {
        if (entry.code == code) {
            return &entry;
        }
    }
    return nullptr;
}

inline const ElementInfo* findElement(std::string_view name)
{
    for (const ElementInfo& entry : elementTable) {
        if (name == entry.name) {
            return &entry;
        }
    }
    return nullptr;
}

// "float32, float64, ...": the names, as messages list them.
inline std::string elementNames()
{
    std::string names;
    for (const ElementInfo& entry : elementTable) {
        names += std::string(names.empty() ? "" : ", ") + entry.name;
    }
    return names;
}

} // namespace Quelt
