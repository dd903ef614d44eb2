// The one conversion of Python values into typed storage: scalars, nested lists and buffers
// into elements, and elements back into Python objects.
#include "convert.hpp"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <limits>
#include <optional>
#include <utility>

#include <immintrin.h>

#include "casters.hpp"
#include "strings.hpp"
#include "type_name.hpp"

namespace py = pybind11;

namespace Quelt::Python {
namespace {

[[noreturn]] void typeError(const std::string& text) { throw py::type_error(text); }
[[noreturn]] void valueError(const std::string& text) { throw py::value_error(text); }

// "element 3", "element (1, 2)", "the value" of a row-major index into `shape`.
std::string position(const std::vector<int64_t>& shape, size_t flat)
{
    if (shape.empty()) {
        return "the value";
    }
    std::vector<size_t> index(shape.size());
    for (size_t d = shape.size(); d-- > 0;) {
        index[d] = flat % size_t(shape[d]);
        flat /= size_t(shape[d]);
    }
    if (index.size() == 1) {
        return "element " + std::to_string(index[0]);
    }
    std::string text = "element (";
    for (size_t d = 0; d < index.size(); ++d) {
        text += (d ? ", " : "") + std::to_string(index[d]);
    }
    return text + ")";
}

bool isText(PyObject* item) { return PyUnicode_Check(item) || PyBytes_Check(item) || PyByteArray_Check(item); }

bool isNested(PyObject* item) { return PyList_Check(item) || PyTuple_Check(item); }

// One scalar's conversion into an element of T, with the refusals worded for its place.
template <typename T>
class ScalarReader {
public:
    ScalarReader(const Context& context, const std::vector<int64_t>& shape) : m_context(context), m_shape(shape) {}

    void store(PyObject* item, void* target, size_t flat) const
    {
        m_flat = flat;
        T value{};
        if constexpr (std::is_same_v<T, bool>) {
            if (!PyBool_Check(item)) {
                wrongKind(item, "a bool");
            }
            value = item == Py_True;
        } else if constexpr (ElementOf<T>::kind == ElementKind::Complex) {
            const std::complex<double> v = complexValue(item);
            using R = typename T::value_type;
            value = T(narrowed<R>(v.real(), item), narrowed<R>(v.imag(), item));
        } else if constexpr (ElementOf<T>::kind == ElementKind::Real) {
            value = narrowed<T>(realValue(item, "a real number"), item);
        } else {
            value = integerValue(item);
        }
        std::memcpy(target, &value, sizeof(T));
    }

private:
    std::string where() const { return position(m_shape, m_flat); }
    std::string typeText() const { return ElementOf<T>::name; }

    [[noreturn]] void wrongKind(PyObject* item, const char* wanted) const
    {
        if (m_context.wording == Wording::Exchange) {
            if (isComplexNumber(item) && ElementOf<T>::kind != ElementKind::Complex) {
                typeError(where() + " is complex; " + typeText() + " holds real numbers");
            }
            typeError(where() + " is " + typeNameOf(item) + ", not " + wanted);
        }
        typeError(m_context.what + " expects " + typeText() + ", got " + typeNameOf(item));
    }

    // exchangeText: "too large for" a value beyond double, "out of range for" one beyond T.
    [[noreturn]] void doesNotFit(PyObject* item, const char* exchangeText) const
    {
        if (m_context.wording == Wording::Exchange) {
            valueError(where() + " is " + exchangeText + " " + typeText());
        }
        valueError(m_context.what + " expects " + typeText() + ", got " + py::repr(item).cast<std::string>()
                   + ", which does not fit");
    }

    double realValue(PyObject* item, const char* wanted) const
    {
        if (PyFloat_Check(item)) {
            return PyFloat_AS_DOUBLE(item);
        }
        if (isText(item) || isComplexNumber(item)) {
            wrongKind(item, wanted);
        }
        const PyNumberMethods* number = Py_TYPE(item)->tp_as_number;
        const bool hasFloat = number && number->nb_float;
        if (PyLong_Check(item) || (!hasFloat && PyIndex_Check(item))) {
            py::object index = py::reinterpret_borrow<py::object>(item);
            if (!PyLong_Check(item)) {
                index = py::reinterpret_steal<py::object>(PyNumber_Index(item));
                if (!index) {
                    throw py::error_already_set();
                }
            }
            const double v = PyLong_AsDouble(index.ptr());
            if (v == -1.0 && PyErr_Occurred()) {
                if (!PyErr_ExceptionMatches(PyExc_OverflowError)) {
                    throw py::error_already_set();
                }
                PyErr_Clear();
                doesNotFit(item, "too large for");
            }
            return v;
        }
        if (!hasFloat) {
            wrongKind(item, wanted);
        }
        const double v = PyFloat_AsDouble(item);
        if (v == -1.0 && PyErr_Occurred()) {
            throw py::error_already_set();
        }
        // A finite value beyond double's range (a Decimal) comes back as infinity: an
        // infinity it is not equal to.
        if (std::isinf(v)) {
            py::object infinity = py::reinterpret_steal<py::object>(PyFloat_FromDouble(v));
            const int equal = PyObject_RichCompareBool(item, infinity.ptr(), Py_EQ);
            if (equal < 0) {
                throw py::error_already_set();
            }
            if (equal == 0) {
                doesNotFit(item, "too large for");
            }
        }
        return v;
    }

    std::complex<double> complexValue(PyObject* item) const
    {
        if (isText(item)) {
            wrongKind(item, "a number");
        }
        if (isComplexNumber(item)) {
            const Py_complex v = PyComplex_AsCComplex(item);
            if (v.real == -1.0 && PyErr_Occurred()) {
                throw py::error_already_set();
            }
            return {v.real, v.imag};
        }
        return realValue(item, "a number");
    }

    // A finite value that rounds to infinity does not fit.
    template <typename R>
    R narrowed(double v, PyObject* item) const
    {
        if constexpr (std::is_same_v<R, double>) {
            return v;
        } else if constexpr (std::is_same_v<R, float>) {
            // Beyond this, float's rounding gives infinity (and the cast is undefined).
            if (std::isfinite(v) && std::fabs(v) >= 0x1.ffffffp127) {
                doesNotFit(item, "out of range for");
            }
            return static_cast<float>(v);
        } else {
            const R r = R::fromDouble(v);
            if (std::isfinite(v) && std::isinf(r.toDouble())) {
                doesNotFit(item, "out of range for");
            }
            return r;
        }
    }

    T integerValue(PyObject* item) const
    {
        if (PyFloat_Check(item) || !PyIndex_Check(item) || isComplexNumber(item)) {
            wrongKind(item, "an integer");
        }
        const auto [index, v, overflow] = indexValue(item);
        if constexpr (std::is_unsigned_v<T>) {
            if (overflow > 0) {
                const unsigned long long u = PyLong_AsUnsignedLongLong(index.ptr());
                if (PyErr_Occurred()) {
                    PyErr_Clear();
                    doesNotFit(item, "out of range for");
                }
                if (!std::in_range<T>(u)) {
                    doesNotFit(item, "out of range for");
                }
                return T(u);
            }
        }
        if (overflow != 0 || !std::in_range<T>(v)) {
            doesNotFit(item, "out of range for");
        }
        return T(v);
    }

    const Context& m_context;
    const std::vector<int64_t>& m_shape;
    mutable size_t m_flat = 0;
};

std::string textOf(PyObject* item, const Context& context, const std::vector<int64_t>& shape, size_t flat)
{
    if (PyUnicode_Check(item)) {
        // Surrogate escapes stand for the bytes that results decode into them.
        py::object bytes = py::reinterpret_steal<py::object>(PyUnicode_AsEncodedString(item, "utf-8", "surrogateescape"));
        if (!bytes) {
            if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
                throw py::error_already_set();
            }
            PyErr_Clear();
            valueError(context.what + " expects string, got a str that is not valid UTF-8");
        }
        return std::string(PyBytes_AS_STRING(bytes.ptr()), size_t(PyBytes_GET_SIZE(bytes.ptr())));
    }
    if (PyBytes_Check(item)) {
        return std::string(PyBytes_AS_STRING(item), size_t(PyBytes_GET_SIZE(item)));
    }
    if (PyByteArray_Check(item)) {
        return std::string(PyByteArray_AS_STRING(item), size_t(PyByteArray_GET_SIZE(item)));
    }
    if (context.wording == Wording::Exchange) {
        typeError(position(shape, flat) + " is " + typeNameOf(item) + ", not a string");
    }
    typeError(context.what + " expects string, got " + typeNameOf(item));
}

template <typename S>
S load(const char* p)
{
    S value;
    std::memcpy(&value, p, sizeof(S));
    return value;
}

// Whether elements of kind `from` convert into kind `to` number by number.
constexpr bool converts(ElementKind from, ElementKind to)
{
    switch (to) {
    case ElementKind::Complex: return from != ElementKind::String;
    case ElementKind::Real: return from != ElementKind::String && from != ElementKind::Complex;
    case ElementKind::Signed:
    case ElementKind::Unsigned: return from == ElementKind::Bool || from == ElementKind::Signed || from == ElementKind::Unsigned;
    default: return from == to;
    }
}

// One buffer element converted; false when a finite value does not fit T.
template <typename T, typename S>
bool convertNumber(S s, T& t)
{
    constexpr ElementKind from = ElementOf<S>::kind, to = ElementOf<T>::kind;
    if constexpr (std::is_same_v<S, T>) {
        t = s;
        return true;
    } else if constexpr (std::is_same_v<S, Float16>) {
        return convertNumber(s.toDouble(), t);
    } else if constexpr (to == ElementKind::Complex) {
        using R = typename T::value_type;
        R re{}, im{};
        if constexpr (from == ElementKind::Complex) {
            const bool fits = convertNumber(s.real(), re) && convertNumber(s.imag(), im);
            t = T(re, im);
            return fits;
        } else {
            const bool fits = convertNumber(s, re);
            t = T(re, im);
            return fits;
        }
    } else if constexpr (std::is_same_v<T, Float16> || std::is_same_v<T, BFloat16>) {
        if constexpr (std::is_integral_v<S>) {
            t = T::fromInteger(s);
            return !std::isinf(t.toDouble());
        } else {
            const double v = double(s);
            t = T::fromDouble(v);
            return !(std::isfinite(v) && std::isinf(t.toDouble()));
        }
    } else if constexpr (to == ElementKind::Real) {
        if constexpr (std::is_same_v<T, float> && std::is_same_v<S, double>) {
            // IEEE conversion: a finite value beyond float's range becomes infinity, which
            // tells it. No branch, so that rows of them vectorise.
            t = static_cast<float>(s);
            return !((std::fabs(t) == HUGE_VALF) & (std::fabs(s) != HUGE_VAL));
        } else {
            t = static_cast<T>(s);
            return true;
        }
    } else if constexpr (to == ElementKind::Signed || to == ElementKind::Unsigned) {
        if constexpr (std::is_integral_v<S>) {
            // Integer narrowing wraps (well defined): the value is kept only when it fits.
            t = static_cast<T>(s);
            return std::in_range<T>(s);
        }
        return true;
    } else {
        return true; // refused before any element is read
    }
}

// One buffer element converted into its place; false when a finite value does not fit T.
template <typename T, typename S>
bool convertOne(const char* from, char* to)
{
    T value{};
    bool fits = true;
    if constexpr (std::is_same_v<S, bool>) {
        // Read as bytes: exported memory may hold values other than 0 and 1.
        const uint8_t flag = load<uint8_t>(from) != 0;
        if constexpr (std::is_same_v<T, bool>) {
            value = flag != 0;
        } else {
            fits = convertNumber(flag, value);
        }
    } else {
        fits = convertNumber(load<S>(from), value);
    }
    if constexpr (ElementOf<T>::kind == ElementKind::Complex) {
        // Part by part: one store of the whole pair would read it back from the stack after two
        // narrower writes, a stall on every element.
        const typename T::value_type parts[2] = {value.real(), value.imag()};
        std::memcpy(to, &parts[0], sizeof(parts[0]));
        std::memcpy(to + sizeof(parts[0]), &parts[1], sizeof(parts[1]));
    } else {
        std::memcpy(to, &value, sizeof(T));
    }
    return fits;
}

// Whether the processor has AVX2: the build targets baseline x86-64, and the wider kernels are
// chosen at run time.
bool hasAvx2()
{
    static const bool avx2 = __builtin_cpu_supports("avx2");
    return avx2;
}

// Every other 4-byte item, eight at a time in AVX registers where the processor has AVX2:
// the items before the last group of eight (whose second load would end past the last item),
// and how many that was.
__attribute__((target("avx2"))) int64_t everyOtherItem8(const char* from, char* to, int64_t count)
{
    int64_t i = 0;
    for (; i + 8 < count; i += 8) {
        const __m256 a = _mm256_loadu_ps(reinterpret_cast<const float*>(from + i * 8));
        const __m256 b = _mm256_loadu_ps(reinterpret_cast<const float*>(from + i * 8 + 32));
        // Items i, i + 1, i + 4, i + 5 in the low lane, i + 2, i + 3, i + 6, i + 7 in the high
        // one: the middle pairs change places.
        const __m256 pairs = _mm256_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0));
        _mm256_storeu_ps(reinterpret_cast<float*>(to + i * 4),
                         _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(pairs), _MM_SHUFFLE(3, 1, 2, 0))));
    }
    return i;
}

// One row of buffer elements converted: `count` of them, `fromStep` and `toStep` bytes apart;
// false when a finite value in it does not fit T. No early exit: the loop over contiguous rows
// is one the compiler vectorises, and the (rare) refusal is found again by the caller.
template <typename T, typename S>
bool convertRow(const char* from, ptrdiff_t fromStep, char* to, ptrdiff_t toStep, int64_t count)
{
    if constexpr (std::is_same_v<S, T> && sizeof(S) == 4) {
        // Every other 4-byte item (a [::2] slice, the real parts of interleaved pairs): four
        // at a time from two loads. A group's second load ends 4 bytes past its last item,
        // inside the next item's span, so the last group is left to the plain loop.
        if (fromStep == 8 && toStep == 4) {
            int64_t i = hasAvx2() ? everyOtherItem8(from, to, count) : 0;
            for (; i + 4 < count; i += 4) {
                const __m128 a = _mm_loadu_ps(reinterpret_cast<const float*>(from + i * 8));
                const __m128 b = _mm_loadu_ps(reinterpret_cast<const float*>(from + i * 8 + 16));
                _mm_storeu_ps(reinterpret_cast<float*>(to + i * 4), _mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0)));
            }
            for (; i < count; ++i) {
                std::memcpy(to + i * 4, from + i * 8, 4);
            }
            return true;
        }
    }
    if constexpr (std::is_same_v<S, double> && std::is_same_v<T, float>) {
        // Contiguous float64 into float32: rounded four at a time, and only the infinities of
        // the result looked for (one compare per four). A row that has any is checked again
        // element by element, as a finite value that overflows and an infinity that was one
        // already look the same after the rounding.
        if (fromStep == 8 && toStep == 4) {
            const __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(INT32_MAX));
            const __m128 infinity = _mm_set1_ps(HUGE_VALF);
            __m128 infinities = _mm_setzero_ps();
            int64_t i = 0;
            for (; i + 4 <= count; i += 4) {
                const __m128 low = _mm_cvtpd_ps(_mm_loadu_pd(reinterpret_cast<const double*>(from + i * 8)));
                const __m128 high = _mm_cvtpd_ps(_mm_loadu_pd(reinterpret_cast<const double*>(from + i * 8 + 16)));
                const __m128 rounded = _mm_movelh_ps(low, high);
                _mm_storeu_ps(reinterpret_cast<float*>(to + i * 4), rounded);
                infinities = _mm_or_ps(infinities, _mm_cmpeq_ps(_mm_and_ps(rounded, magnitude), infinity));
            }
            bool fits = true;
            for (; i < count; ++i) {
                fits &= convertOne<T, S>(from + i * 8, to + i * 4);
            }
            if (_mm_movemask_ps(infinities) != 0) {
                for (int64_t k = 0; k < count; ++k) {
                    T unused;
                    fits &= convertNumber(load<S>(from + k * 8), unused);
                }
            }
            return fits;
        }
    }
    unsigned misfits = 0; // an integer reduction, which the vectoriser takes
    if (fromStep == ptrdiff_t(sizeof(S)) && toStep == ptrdiff_t(sizeof(T))) {
        for (int64_t i = 0; i < count; ++i) {
            misfits |= !convertOne<T, S>(from + i * ptrdiff_t(sizeof(S)), to + i * ptrdiff_t(sizeof(T)));
        }
    } else if (!std::is_same_v<S, bool> && fromStep == ptrdiff_t(sizeof(S))) {
        // Into a column: the checks first, over the contiguous source (vectorised), then the
        // stores alone, the slow part, with nothing else to wait on.
        if constexpr (!std::is_same_v<S, bool>) {
            for (int64_t i = 0; i < count; ++i) {
                T unused;
                misfits |= !convertNumber(load<S>(from + i * ptrdiff_t(sizeof(S))), unused);
            }
        }
        for (int64_t i = 0; i < count; ++i) {
            convertOne<T, S>(from + i * ptrdiff_t(sizeof(S)), to + i * toStep);
        }
    } else {
        for (int64_t i = 0; i < count; ++i) {
            misfits |= !convertOne<T, S>(from + i * fromStep, to + i * toStep);
        }
    }
    return misfits == 0;
}

// The side of the square tiles of a transposing walk, in elements: a tile's line is 256 bytes
// of its wider items (64 float32s, 32 float64s), so that what a tile reads and writes stays in
// the first-level cache. Measured: for 4-byte items 64 beat 32 by a tenth, for 8-byte ones 32
// beat 64 by a third.
inline constexpr int64_t widestTile = 64;
template <typename T, typename S>
inline constexpr int64_t transposeTile = std::min<int64_t>(widestTile, 256 / std::max(sizeof(T), sizeof(S)));

// Calls row(fromOffset, fromStep, toOffset, toStep, count) over rows of the last dimension (in
// bytes), every element once. Where either side runs faster along the next-to-last dimension
// than along the last (a Fortran-order source, a column-major target), in square tiles of
// those two, the lines that one side steps across staying in cache while a tile is done; the
// rows of a tile run along the target's faster dimension, so that its stores are contiguous.
// With `tiles` (not nullptr), tiling is allowed, and each tile is first offered whole to
// tiles(fromOffset, toOffset, height, width), which answers whether it did it.
template <typename Row, typename Tiles>
void walkRows(const std::vector<int64_t>& shape, const std::vector<ptrdiff_t>& from, const std::vector<ptrdiff_t>& to,
              Row&& row, Tiles&& tiles, int64_t tile = widestTile)
{
    constexpr bool mayTile = !std::is_null_pointer_v<std::decay_t<Tiles>>;
    const size_t rank = shape.size();
    if (std::find(shape.begin(), shape.end(), 0) != shape.end()) {
        return;
    }
    if (rank == 0) {
        row(ptrdiff_t(0), ptrdiff_t(0), ptrdiff_t(0), ptrdiff_t(0), int64_t(1));
        return;
    }
    const auto across = [](ptrdiff_t inner, ptrdiff_t outer) { return std::abs(outer) < std::abs(inner); };
    const bool tiled = mayTile && rank >= 2 && (across(from[rank - 1], from[rank - 2]) || across(to[rank - 1], to[rank - 2]))
                       && shape[rank - 1] > 1 && shape[rank - 2] > 1;
    const bool down = tiled && across(to[rank - 1], to[rank - 2]);
    // The dimensions above the tiled (or row) ones, as an odometer.
    const size_t outer = tiled ? rank - 2 : rank - 1;
    std::vector<int64_t> index(outer, 0);
    ptrdiff_t fromBase = 0, toBase = 0;
    while (true) {
        if (tiled) {
            const int64_t rows = shape[rank - 2], cols = shape[rank - 1];
            const ptrdiff_t fr = from[rank - 2], fc = from[rank - 1], tr = to[rank - 2], tc = to[rank - 1];
            auto block = [&](int64_t i0, int64_t j0) {
                const int64_t height = std::min(tile, rows - i0), width = std::min(tile, cols - j0);
                if constexpr (mayTile) {
                    if (tiles(fromBase + i0 * fr + j0 * fc, toBase + i0 * tr + j0 * tc, height, width)) {
                        return;
                    }
                }
                if (down) {
                    for (int64_t j = j0; j < j0 + width; ++j) {
                        row(fromBase + i0 * fr + j * fc, fr, toBase + i0 * tr + j * tc, tr, height);
                    }
                } else {
                    for (int64_t i = i0; i < i0 + height; ++i) {
                        row(fromBase + i * fr + j0 * fc, fc, toBase + i * tr + j0 * tc, tc, width);
                    }
                }
            };
            // One tile after another along the source's faster dimension: each of the lines a
            // tile reads continues in the next, a stream the hardware prefetches.
            if (across(fc, fr)) {
                for (int64_t j0 = 0; j0 < cols; j0 += tile) {
                    for (int64_t i0 = 0; i0 < rows; i0 += tile) {
                        block(i0, j0);
                    }
                }
            } else {
                for (int64_t i0 = 0; i0 < rows; i0 += tile) {
                    for (int64_t j0 = 0; j0 < cols; j0 += tile) {
                        block(i0, j0);
                    }
                }
            }
        } else {
            row(fromBase, from[rank - 1], toBase, to[rank - 1], shape[rank - 1]);
        }
        size_t d = outer;
        while (d-- > 0) {
            fromBase += from[d];
            toBase += to[d];
            if (++index[d] < shape[d]) {
                break;
            }
            fromBase -= from[d] * shape[d];
            toBase -= to[d] * shape[d];
            index[d] = 0;
        }
        if (d == size_t(-1)) {
            return;
        }
    }
}

// Calls body(sourceOffset, targetOffset, flat) for every element of `shape` in row-major order
// (the last dimension innermost; offsets in bytes). No source strides: nested lists' items.
template <typename Body>
void walk(const std::vector<int64_t>& shape, const std::vector<ptrdiff_t>& from, const std::vector<ptrdiff_t>& to,
          Body&& body)
{
    size_t flat = 0;
    walkRows(
        shape, from.empty() ? std::vector<ptrdiff_t>(shape.size(), 0) : from, to,
        [&](ptrdiff_t f, ptrdiff_t fromStep, ptrdiff_t t, ptrdiff_t toStep, int64_t count) {
            for (int64_t i = 0; i < count; ++i) {
                body(f + i * fromStep, t + i * toStep, flat++);
            }
        },
        nullptr);
}

// Items (i, j) of `item` bytes for i in [i0, i1) and j in [j0, width), one by one, laid out as
// in the transposing kernels below: the borders that their registers leave.
template <size_t item>
void moveItems(const char* from, ptrdiff_t fromStep, char* to, ptrdiff_t toStep, int64_t i0, int64_t i1, int64_t j0,
               int64_t width)
{
    constexpr auto size = ptrdiff_t(item);
    for (int64_t i = i0; i < i1; ++i) {
        for (int64_t j = j0; j < width; ++j) {
            std::memcpy(to + i * toStep + j * size, from + i * size + j * fromStep, item);
        }
    }
}

// Element (i, j) of a tile of 4-byte items from `from` + i * 4 + j * fromStep to `to` + i *
// toStep + j * 4: contiguous reads along i, contiguous writes along j. Four by four in SSE
// registers (baseline x86-64), so that each load and store moves four items; the borders item
// by item. A plain transposing copy made element by element costs 3 to 4 times a memcpy of the
// same bytes; this one under 2.
inline void transposeItems4(const char* from, ptrdiff_t fromStep, char* to, ptrdiff_t toStep, int64_t height,
                            int64_t width)
{
    int64_t i = 0;
    for (; i + 4 <= height; i += 4) {
        int64_t j = 0;
        for (; j + 4 <= width; j += 4) {
            const char* in = from + i * 4 + j * fromStep;
            __m128 a = _mm_loadu_ps(reinterpret_cast<const float*>(in));
            __m128 b = _mm_loadu_ps(reinterpret_cast<const float*>(in + fromStep));
            __m128 c = _mm_loadu_ps(reinterpret_cast<const float*>(in + 2 * fromStep));
            __m128 d = _mm_loadu_ps(reinterpret_cast<const float*>(in + 3 * fromStep));
            _MM_TRANSPOSE4_PS(a, b, c, d);
            char* out = to + i * toStep + j * 4;
            _mm_storeu_ps(reinterpret_cast<float*>(out), a);
            _mm_storeu_ps(reinterpret_cast<float*>(out + toStep), b);
            _mm_storeu_ps(reinterpret_cast<float*>(out + 2 * toStep), c);
            _mm_storeu_ps(reinterpret_cast<float*>(out + 3 * toStep), d);
        }
        moveItems<4>(from, fromStep, to, toStep, i, i + 4, j, width);
    }
    moveItems<4>(from, fromStep, to, toStep, i, height, 0, width);
}

// The same, eight by eight in AVX registers where the processor has AVX2 (chosen at run time:
// the build targets baseline x86-64): half the loads and stores per item, and a quarter fewer
// shuffles. The borders that do not fill eight go to the four-by-four walk.
__attribute__((target("avx2"))) void transposeItems8(const char* from, ptrdiff_t fromStep, char* to,
                                                     ptrdiff_t toStep, int64_t height, int64_t width)
{
    const int64_t height8 = height & ~int64_t(7), width8 = width & ~int64_t(7);
    for (int64_t i = 0; i < height8; i += 8) {
        for (int64_t j = 0; j < width8; j += 8) {
            const char* in = from + i * 4 + j * fromStep;
            __m256 r[8], t[8], u[8];
            for (int k = 0; k < 8; ++k) {
                r[k] = _mm256_loadu_ps(reinterpret_cast<const float*>(in + k * fromStep));
            }
            for (int k = 0; k < 8; k += 2) {
                t[k] = _mm256_unpacklo_ps(r[k], r[k + 1]);
                t[k + 1] = _mm256_unpackhi_ps(r[k], r[k + 1]);
            }
            for (int k = 0; k < 8; k += 4) {
                u[k] = _mm256_shuffle_ps(t[k], t[k + 2], _MM_SHUFFLE(1, 0, 1, 0));
                u[k + 1] = _mm256_shuffle_ps(t[k], t[k + 2], _MM_SHUFFLE(3, 2, 3, 2));
                u[k + 2] = _mm256_shuffle_ps(t[k + 1], t[k + 3], _MM_SHUFFLE(1, 0, 1, 0));
                u[k + 3] = _mm256_shuffle_ps(t[k + 1], t[k + 3], _MM_SHUFFLE(3, 2, 3, 2));
            }
            char* out = to + i * toStep + j * 4;
            for (int k = 0; k < 4; ++k) {
                _mm256_storeu_ps(reinterpret_cast<float*>(out + k * toStep), _mm256_permute2f128_ps(u[k], u[k + 4], 0x20));
                _mm256_storeu_ps(reinterpret_cast<float*>(out + (k + 4) * toStep),
                                 _mm256_permute2f128_ps(u[k], u[k + 4], 0x31));
            }
        }
    }
    if (width8 < width) {
        transposeItems4(from + width8 * fromStep, fromStep, to + width8 * 4, toStep, height8, width - width8);
    }
    if (height8 < height) {
        transposeItems4(from + height8 * 4, fromStep, to + height8 * toStep, toStep, height - height8, width);
    }
}

void transposeItems(const char* from, ptrdiff_t fromStep, char* to, ptrdiff_t toStep, int64_t height, int64_t width)
{
    (hasAvx2() ? transposeItems8 : transposeItems4)(from, fromStep, to, toStep, height, width);
}

// The same walk for 8-byte items (float64, int64, complex64 pairs moved whole): two by two in
// SSE registers, four by four in AVX ones where the processor has AVX2.
inline void transposePairs2(const char* from, ptrdiff_t fromStep, char* to, ptrdiff_t toStep, int64_t height,
                            int64_t width)
{
    int64_t i = 0;
    for (; i + 2 <= height; i += 2) {
        int64_t j = 0;
        for (; j + 2 <= width; j += 2) {
            const char* in = from + i * 8 + j * fromStep;
            const __m128d a = _mm_loadu_pd(reinterpret_cast<const double*>(in));            // (i, j), (i + 1, j)
            const __m128d b = _mm_loadu_pd(reinterpret_cast<const double*>(in + fromStep)); // (i, j + 1), (i + 1, j + 1)
            char* out = to + i * toStep + j * 8;
            _mm_storeu_pd(reinterpret_cast<double*>(out), _mm_unpacklo_pd(a, b));
            _mm_storeu_pd(reinterpret_cast<double*>(out + toStep), _mm_unpackhi_pd(a, b));
        }
        moveItems<8>(from, fromStep, to, toStep, i, i + 2, j, width);
    }
    moveItems<8>(from, fromStep, to, toStep, i, height, 0, width);
}

__attribute__((target("avx2"))) void transposePairs4(const char* from, ptrdiff_t fromStep, char* to,
                                                     ptrdiff_t toStep, int64_t height, int64_t width)
{
    const int64_t height4 = height & ~int64_t(3), width4 = width & ~int64_t(3);
    for (int64_t i = 0; i < height4; i += 4) {
        for (int64_t j = 0; j < width4; j += 4) {
            const char* in = from + i * 8 + j * fromStep;
            __m256d r[4];
            for (int k = 0; k < 4; ++k) {
                r[k] = _mm256_loadu_pd(reinterpret_cast<const double*>(in + k * fromStep)); // (i..i + 3, j + k)
            }
            const __m256d t0 = _mm256_unpacklo_pd(r[0], r[1]), t1 = _mm256_unpackhi_pd(r[0], r[1]);
            const __m256d t2 = _mm256_unpacklo_pd(r[2], r[3]), t3 = _mm256_unpackhi_pd(r[2], r[3]);
            char* out = to + i * toStep + j * 8;
            _mm256_storeu_pd(reinterpret_cast<double*>(out), _mm256_permute2f128_pd(t0, t2, 0x20));
            _mm256_storeu_pd(reinterpret_cast<double*>(out + toStep), _mm256_permute2f128_pd(t1, t3, 0x20));
            _mm256_storeu_pd(reinterpret_cast<double*>(out + 2 * toStep), _mm256_permute2f128_pd(t0, t2, 0x31));
            _mm256_storeu_pd(reinterpret_cast<double*>(out + 3 * toStep), _mm256_permute2f128_pd(t1, t3, 0x31));
        }
    }
    if (width4 < width) {
        transposePairs2(from + width4 * fromStep, fromStep, to + width4 * 8, toStep, height4, width - width4);
    }
    if (height4 < height) {
        transposePairs2(from + height4 * 8, fromStep, to + height4 * toStep, toStep, height - height4, width);
    }
}

void transposePairs(const char* from, ptrdiff_t fromStep, char* to, ptrdiff_t toStep, int64_t height, int64_t width)
{
    (hasAvx2() ? transposePairs4 : transposePairs2)(from, fromStep, to, toStep, height, width);
}

// The same walk for float64 items into complex64 pairs (a real buffer into a complex
// container): element (i, j) from `from` + i * 8 + j * fromStep to `to` + i * toStep + j * 8,
// rounded to float32 beside a zero imaginary part. Two by two in SSE registers, each load and
// store moving two elements, with the range check beside them; false when a finite value is
// beyond float32's range, as convertNumber tells it.
inline bool transposeDoublesIntoComplex64(const char* from, ptrdiff_t fromStep, char* to, ptrdiff_t toStep,
                                          int64_t height, int64_t width)
{
    // The least double that rounds to infinity as a float32: halfway between the largest
    // float32 and 2^128, a tie that goes to the even neighbour, 2^128.
    const __m128d beyond = _mm_set1_pd(0x1.ffffffp127);
    const __m128d infinity = _mm_set1_pd(HUGE_VAL);
    const __m128d magnitude = _mm_castsi128_pd(_mm_set1_epi64x(INT64_MAX));
    const __m128 zero = _mm_setzero_ps();
    __m128d misfits = _mm_setzero_pd();
    bool fits = true;
    const auto one = [&](int64_t i, int64_t j) {
        fits &= convertOne<std::complex<float>, double>(from + i * 8 + j * fromStep, to + i * toStep + j * 8);
    };
    int64_t i = 0;
    for (; i + 2 <= height; i += 2) {
        int64_t j = 0;
        for (; j + 2 <= width; j += 2) {
            const char* in = from + i * 8 + j * fromStep;
            const __m128d x = _mm_loadu_pd(reinterpret_cast<const double*>(in));            // (i, j), (i + 1, j)
            const __m128d y = _mm_loadu_pd(reinterpret_cast<const double*>(in + fromStep)); // (i, j + 1), (i + 1, j + 1)
            for (const __m128d v : {x, y}) {
                const __m128d size = _mm_and_pd(v, magnitude);
                misfits = _mm_or_pd(misfits, _mm_and_pd(_mm_cmpge_pd(size, beyond), _mm_cmplt_pd(size, infinity)));
            }
            // (i, j), (i, j + 1), (i + 1, j), (i + 1, j + 1)
            const __m128 rounded = _mm_unpacklo_ps(_mm_cvtpd_ps(x), _mm_cvtpd_ps(y));
            char* out = to + i * toStep + j * 8;
            _mm_storeu_ps(reinterpret_cast<float*>(out), _mm_unpacklo_ps(rounded, zero));
            _mm_storeu_ps(reinterpret_cast<float*>(out + toStep), _mm_unpackhi_ps(rounded, zero));
        }
        for (; j < width; ++j) {
            one(i, j);
            one(i + 1, j);
        }
    }
    for (; i < height; ++i) {
        for (int64_t j = 0; j < width; ++j) {
            one(i, j);
        }
    }
    return fits && _mm_movemask_pd(misfits) == 0;
}

// The same steps along every dimension of more than one element: those of one element do not
// move (exporters give them any stride).
bool sameSteps(const std::vector<int64_t>& shape, const std::vector<ptrdiff_t>& a, const std::vector<ptrdiff_t>& b)
{
    for (size_t d = 0; d < shape.size(); ++d) {
        if (shape[d] > 1 && a[d] != b[d]) {
            return false;
        }
    }
    return true;
}

// The bytes that elements of this shape and these strides cover when they lie side by side
// from the first, in some order of the dimensions, without gaps or overlaps; nothing if they
// do not. Dimensions of one element take no part.
std::optional<size_t> denseBytes(const std::vector<int64_t>& shape, const std::vector<ptrdiff_t>& strides, size_t itemsize)
{
    std::vector<std::pair<ptrdiff_t, int64_t>> dims;
    for (size_t d = 0; d < shape.size(); ++d) {
        if (shape[d] == 0) {
            return size_t(0);
        }
        if (shape[d] > 1) {
            dims.emplace_back(strides[d], shape[d]);
        }
    }
    std::sort(dims.begin(), dims.end());
    size_t expected = itemsize;
    for (const auto& [stride, extent] : dims) {
        if (stride != ptrdiff_t(expected)) {
            return std::nullopt;
        }
        expected *= size_t(extent);
    }
    return expected;
}

template <typename T, typename S>
void fillFromBuffer(const Source& source, const Target& target, const Context& context)
{
    const char* from = static_cast<const char*>(source.buffer->view.buf);
    // The element's own bytes in the same layout on both sides, without gaps, in any order of
    // dimensions (row-major into a tensor, a column-major buffer into a matrix): one copy.
    if (std::is_same_v<S, T> && sameSteps(source.shape, source.layout.strides, target.strides)) {
        if (const std::optional<size_t> bytes = denseBytes(source.shape, target.strides, sizeof(T))) {
            if (*bytes != 0) {
                std::memcpy(target.data, from, *bytes);
            }
            return;
        }
    }
    bool fits = true;
    const auto row = [&](ptrdiff_t f, ptrdiff_t fromStep, ptrdiff_t t, ptrdiff_t toStep, int64_t count) {
        fits &= convertRow<T, S>(from + f, fromStep, target.data + t, toStep, count);
    };
    const size_t rank = source.shape.size();
    // A tile whose source runs contiguously along one dimension and whose target along the
    // other is transposed first, unconverted, into a scratch tile in the target's order (reads
    // along the source, in cache), and then converted row by row into the target, contiguous on
    // both sides: the checks and conversions vectorise, and no slow strided access remains.
    const auto tiles = [&](ptrdiff_t f, ptrdiff_t t, int64_t height, int64_t width) {
        constexpr auto item = ptrdiff_t(sizeof(S)), out = ptrdiff_t(sizeof(T));
        const ptrdiff_t fr = source.layout.strides[rank - 2], fc = source.layout.strides[rank - 1];
        const ptrdiff_t tr = target.strides[rank - 2], tc = target.strides[rank - 1];
        // kernel(fromStep, toStep, na, nb) on the tile seen with the source contiguous along its
        // first index and the target along its second: element (i, j) at i * item + j * fromStep
        // in the source, i * toStep + j * out in the target.
        const auto oriented = [&](auto&& kernel) {
            if (fr == item && tc == out) { // rows of the target, columns of the source
                kernel(fc, tr, height, width);
                return true;
            }
            if (fc == item && tr == out) { // columns of the target, rows of the source
                kernel(fr, tc, width, height);
                return true;
            }
            return false;
        };
        if constexpr (std::is_same_v<S, T> && (sizeof(S) == 4 || sizeof(S) == 8)) {
            return oriented([&](ptrdiff_t fromStep, ptrdiff_t toStep, int64_t na, int64_t nb) {
                (sizeof(S) == 4 ? transposeItems : transposePairs)(from + f, fromStep, target.data + t, toStep, na, nb);
            });
        } else if constexpr (std::is_same_v<S, bool> || std::is_same_v<S, T>) {
            return false; // bytes that need reading as flags; a plain copy of another width
        } else if constexpr (std::is_same_v<S, double> && std::is_same_v<T, std::complex<float>>) {
            return oriented([&](ptrdiff_t fromStep, ptrdiff_t toStep, int64_t na, int64_t nb) {
                fits &= transposeDoublesIntoComplex64(from + f, fromStep, target.data + t, toStep, na, nb);
            });
        } else {
            S scratch[transposeTile<T, S> * transposeTile<T, S>];
            return oriented([&](ptrdiff_t fromStep, ptrdiff_t toStep, int64_t na, int64_t nb) {
                for (int64_t j = 0; j < nb; ++j) {
                    for (int64_t i = 0; i < na; ++i) {
                        scratch[i * nb + j] = load<S>(from + f + i * item + j * fromStep);
                    }
                }
                for (int64_t i = 0; i < na; ++i) {
                    fits &= convertRow<T, S>(reinterpret_cast<const char*>(scratch + i * nb), item,
                                             target.data + t + i * toStep, out, nb);
                }
            });
        }
    };
    walkRows(source.shape, source.layout.strides, target.strides, row, tiles, transposeTile<T, S>);
    if (fits) {
        return;
    }
    // The first element in row-major order that does not fit, for the message.
    walk(source.shape, source.layout.strides, target.strides, [&](ptrdiff_t f, ptrdiff_t t, size_t flat) {
        if (convertRow<T, S>(from + f, 0, target.data + t, 0, 1)) {
            return;
        }
        if (context.wording == Wording::Exchange) {
            valueError(position(source.shape, flat) + " of the buffer is out of range for " + ElementOf<T>::name);
        }
        valueError(context.what + ": " + position(source.shape, flat) + " of the buffer does not fit "
                   + ElementOf<T>::name);
    });
}

// Numbers registered with the abstract classes, looked up once.
PyObject* numberClass()
{
    static PyObject* const numbers = PyImport_ImportModule("numbers");
    static PyObject* const number = numbers ? PyObject_GetAttrString(numbers, "Number") : nullptr;
    if (number == nullptr) {
        throw py::error_already_set();
    }
    return number;
}

int rankOf(PyObject* item, const Context& context)
{
    if (PyBool_Check(item)) return 0;
    if (PyLong_Check(item)) return 1;
    if (PyFloat_Check(item)) return 2;
    if (isComplexNumber(item)) return 3;
    if (isText(item)) return 4;
    const PyNumberMethods* number = Py_TYPE(item)->tp_as_number;
    if (PyIndex_Check(item) && !(number && number->nb_float)) return 1;
    if (number && number->nb_float) return 2;
    typeError(context.what + " expects a tensor, a buffer, a container or (nested lists of) bool, int, float, "
                             "complex or str, got " + typeNameOf(item));
}

} // namespace

// ---- layouts ----

Layout layoutOf(const Py_buffer& view)
{
    Layout layout;
    const size_t rank = size_t(std::max(view.ndim, 0));
    for (size_t d = 0; d < rank; ++d) {
        layout.shape.push_back(view.shape ? view.shape[d] : view.len / std::max<Py_ssize_t>(view.itemsize, 1));
    }
    if (view.strides) {
        layout.strides.assign(view.strides, view.strides + rank);
    } else {
        // The buffer protocol's meaning of no strides: C-contiguous.
        layout.strides = rowMajorByteStrides(layout.shape, size_t(view.itemsize));
    }
    return layout;
}

std::vector<ptrdiff_t> rowMajorByteStrides(const std::vector<int64_t>& shape, size_t itemsize)
{
    std::vector<ptrdiff_t> strides(shape.size());
    ptrdiff_t step = ptrdiff_t(itemsize);
    for (size_t d = shape.size(); d-- > 0;) {
        strides[d] = step;
        step *= ptrdiff_t(std::max<int64_t>(shape[d], 1));
    }
    return strides;
}

IndexValue indexValue(PyObject* item)
{
    py::object index = py::reinterpret_borrow<py::object>(item);
    if (!PyLong_Check(item)) {
        index = py::reinterpret_steal<py::object>(PyNumber_Index(item));
        if (!index) {
            throw py::error_already_set();
        }
    }
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (value == -1 && PyErr_Occurred()) {
        throw py::error_already_set();
    }
    return {std::move(index), value, overflow};
}

// ---- reading ----

bool isNumber(py::handle value)
{
    PyObject* item = value.ptr();
    if (PyLong_Check(item) || PyFloat_Check(item) || PyComplex_Check(item)) {
        return true;
    }
    if (isText(item) || isNested(item) || PyDict_Check(item)) {
        return false;
    }
    const int registered = PyObject_IsInstance(item, numberClass());
    if (registered < 0) {
        throw py::error_already_set();
    }
    return registered == 1;
}

Source readNested(py::handle value, const Context& context, std::optional<size_t> rank)
{
    Source source;
    auto tooDeep = [&] {
        valueError(context.what + ": nested lists are more than " + std::to_string(maxNesting)
                   + " deep (or hold themselves)");
    };
    // The shape, from the first item of every level.
    PyObject* level = value.ptr();
    while ((!rank || source.shape.size() < *rank) && isNested(level)) {
        if (source.shape.size() == maxNesting) {
            tooDeep();
        }
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(level);
        source.shape.push_back(size);
        if (size == 0) {
            break;
        }
        level = PySequence_Fast_GET_ITEM(level, 0);
    }
    // An empty list has no items to show its depth by: the sizes below it are 0.
    if (rank && !source.shape.empty() && source.shape.back() == 0) {
        source.shape.resize(*rank, 0);
    }
    if (rank && source.shape.size() < *rank) {
        valueError(context.what + ": nested lists are ragged (a value where a list was expected)");
    }
    const size_t depth = source.shape.size();
    // Every item, depth first by an explicit stack: no recursion on the C stack, and no Python
    // code runs until every item is held.
    size_t count = 1;
    for (int64_t size : source.shape) {
        count = std::min<size_t>(count * size_t(size), size_t(1) << 24);
    }
    source.leaves.reserve(count);
    std::vector<std::pair<PyObject*, Py_ssize_t>> stack;
    auto enter = [&](PyObject* item) {
        const size_t d = stack.size();
        if (d == depth) {
            if (isNested(item) && !rank) {
                valueError(context.what + ": nested lists are ragged (a list where a value was expected)");
            }
            source.leaves.push_back(py::reinterpret_borrow<py::object>(item));
            return;
        }
        if (!isNested(item) || PySequence_Fast_GET_SIZE(item) != source.shape[d]) {
            valueError(context.what + ": nested lists are ragged (expected " + std::to_string(source.shape[d])
                       + " items at depth " + std::to_string(d) + ")");
        }
        stack.emplace_back(item, 0);
    };
    enter(value.ptr());
    while (!stack.empty()) {
        auto& [list, next] = stack.back();
        if (next == PySequence_Fast_GET_SIZE(list)) {
            stack.pop_back();
            continue;
        }
        PyObject* item = PySequence_Fast_GET_ITEM(list, next++);
        enter(item);
    }
    return source;
}

Source readBuffer(std::unique_ptr<Buffer> buffer, const Context& context)
{
    const Py_buffer& view = buffer->view;
    if (context.wording == Wording::Feed && isStringFormat(view)) {
        return readStringBuffer(std::move(buffer), context);
    }
    Source source;
    const BufferFormat format = parseBufferFormat(view.format, view.itemsize);
    if (!format.element) {
        if (context.wording == Wording::Exchange) {
            if (format.bigEndian) {
                typeError("buffer format '" + format.text + "' is big-endian; only native byte order is read");
            }
            if (!format.numeric) {
                typeError("buffer format '" + format.text + "' is not a format of numbers");
            }
            typeError("buffer format '" + format.text + "' with items of " + std::to_string(view.itemsize)
                      + " bytes is not a format of numbers");
        }
        typeError(context.what + ": buffer format '" + format.text + "' is not an element type the runtime knows");
    }
    source.format = format.element;
    source.layout = layoutOf(view);
    source.shape = source.layout.shape;
    source.buffer = std::move(buffer);
    return source;
}

Source readRaw(std::unique_ptr<Buffer> buffer, ElementCode code, const Context& context)
{
    Source source;
    const ElementInfo& element = *findElement(code);
    const size_t bytes = size_t(buffer->view.len);
    if (bytes % element.size != 0) {
        const std::string text = " hold a whole number of " + std::string(element.name) + " elements ("
                                 + std::to_string(element.size) + " bytes each)";
        valueError(context.wording == Wording::Exchange
                       ? "a buffer of " + std::to_string(bytes) + " bytes does not" + text
                       : context.what + ": " + std::to_string(bytes) + " bytes do not" + text);
    }
    source.shape = {int64_t(bytes / element.size)};
    source.layout = {source.shape, {ptrdiff_t(element.size)}};
    source.format = &element;
    source.buffer = std::move(buffer);
    return source;
}

ElementCode inferredCode(const Source& source, const Context& context, bool containers)
{
    if (containers) {
        for (const py::object& leaf : source.leaves) {
            if (isComplexNumber(leaf.ptr())) {
                return ElementCode::Complex128;
            }
        }
        return ElementCode::Double;
    }
    int rank = -1;
    bool numbers = false;
    for (const py::object& leaf : source.leaves) {
        const int r = rankOf(leaf.ptr(), context);
        numbers = numbers || r < 4;
        rank = std::max(rank, r);
    }
    if (rank == 4 && numbers) {
        typeError(context.what + ": nested lists mix str with numbers");
    }
    static constexpr ElementCode ranked[] = {ElementCode::Bool, ElementCode::Int64, ElementCode::Double,
                                             ElementCode::Complex128, ElementCode::String};
    // Empty lists, as float values would.
    return rank < 0 ? ElementCode::Double : ranked[rank];
}

// ---- filling ----

void fill(const Source& source, const Target& target, const Context& context)
{
    visitElement(target.code, [&](auto t) {
        using T = typename decltype(t)::type;
        if constexpr (std::is_same_v<T, std::string>) {
            if (source.buffer) {
                typeError(context.what + " expects string, got a buffer of " + source.format->name);
            }
            for (size_t i = 0; i < source.leaves.size(); ++i) {
                target.setString(i, textOf(source.leaves[i].ptr(), context, source.shape, i));
            }
        } else if (source.buffer) {
            const ElementInfo& from = *source.format;
            if (!converts(from.kind, ElementOf<T>::kind)) {
                if (context.wording == Wording::Exchange) {
                    typeError("buffer format '" + std::string(from.format) + "' holds complex numbers; "
                              + ElementOf<T>::name + " holds real ones");
                }
                typeError(context.what + " expects " + ElementOf<T>::name + ", got " + from.name);
            }
            visitElement(from.code, [&](auto s) {
                using S = typename decltype(s)::type;
                if constexpr (converts(ElementOf<S>::kind, ElementOf<T>::kind)
                              && (std::is_same_v<S, T> || !std::is_same_v<S, BFloat16>)) {
                    fillFromBuffer<T, S>(source, target, context);
                }
            });
        } else {
            const ScalarReader<T> reader(context, source.shape);
            walk(source.shape, {}, target.strides, [&](ptrdiff_t, ptrdiff_t to, size_t flat) {
                reader.store(source.leaves[flat].ptr(), target.data + to, flat);
            });
        }
    });
}

// ---- back into Python ----

py::object elementToPython(ElementCode code, const void* element)
{
    PyObject* made = visitElement(code, [&](auto t) -> PyObject* {
        using T = typename decltype(t)::type;
        if constexpr (std::is_same_v<T, std::string>) {
            throw std::invalid_argument("a string element has no fixed place");
        } else {
            return toPython<T>(element);
        }
    });
    if (made == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(made);
}

py::object stringToPython(std::string_view text)
{
    PyObject* made = PyUnicode_DecodeUTF8(text.data(), Py_ssize_t(text.size()), "surrogateescape");
    if (made == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(made);
}

} // namespace Quelt::Python
