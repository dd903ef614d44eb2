// The element table against facts stated here independently (sizes, the runtime's numbers,
// buffer formats), 16-bit floats against the compiler's own half type and exact integer
// rounding, and the declared-shape reader on protobuf bytes built by hand.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "onnx/DeclaredShape.hpp"
#include "types/Element.hpp"

namespace {

using namespace Quelt;

struct Fact {
    const char* name;
    int code; // the ONNX format's TensorProto.DataType number
    const char* format;
    size_t size;
    char letter;
    ElementKind kind;
};

const Fact facts[] = {
    {"float32", 1, "f", 4, 's', ElementKind::Real},       {"float64", 11, "d", 8, 'd', ElementKind::Real},
    {"float16", 10, "e", 2, 0, ElementKind::Real},        {"bfloat16", 16, "H", 2, 0, ElementKind::Real},
    {"int8", 3, "b", 1, 0, ElementKind::Signed},          {"uint8", 2, "B", 1, 0, ElementKind::Unsigned},
    {"int16", 5, "h", 2, 0, ElementKind::Signed},         {"uint16", 4, "H", 2, 0, ElementKind::Unsigned},
    {"int32", 6, "i", 4, 0, ElementKind::Signed},         {"uint32", 12, "I", 4, 0, ElementKind::Unsigned},
    {"int64", 7, "q", 8, 0, ElementKind::Signed},         {"uint64", 13, "Q", 8, 0, ElementKind::Unsigned},
    {"bool", 9, "?", 1, 0, ElementKind::Bool},            {"string", 8, nullptr, 0, 0, ElementKind::String},
    {"complex64", 14, "Zf", 8, 'c', ElementKind::Complex}, {"complex128", 15, "Zd", 16, 'z', ElementKind::Complex},
};

TEST(ElementTable, EveryEntryMatchesTheFacts)
{
    ASSERT_EQ(elementTable.size(), std::size(facts));
    for (size_t i = 0; i < std::size(facts); ++i) {
        const Fact& fact = facts[i];
        const ElementInfo& entry = elementTable[i];
        SCOPED_TRACE(fact.name);
        EXPECT_STREQ(entry.name, fact.name);
        EXPECT_EQ(int(entry.code), fact.code);
        EXPECT_EQ(entry.format ? std::string(entry.format) : "-", fact.format ? std::string(fact.format) : "-");
        EXPECT_EQ(entry.size, fact.size);
        EXPECT_EQ(entry.letter, fact.letter);
        EXPECT_EQ(entry.kind, fact.kind);
        EXPECT_EQ(findElement(fact.name), &entry);
        EXPECT_EQ(findElement(ElementCode(fact.code)), &entry);
        // The visitor reaches the C++ type of the same entry, of the same size.
        visitElement(ElementCode(fact.code), [&](auto t) {
            using T = typename decltype(t)::type;
            EXPECT_STREQ(ElementOf<T>::name, fact.name);
            EXPECT_EQ(ElementOf<T>::size, fact.size);
        });
    }
    for (int code : {0, 17, 20, 99}) {
        EXPECT_EQ(findElement(ElementCode(code)), nullptr);
        EXPECT_THROW(visitElement(ElementCode(code), [](auto) {}), std::invalid_argument);
    }
    EXPECT_EQ(findElement("float"), nullptr);
    EXPECT_EQ(elementNames(), "float32, float64, float16, bfloat16, int8, uint8, int16, uint16, int32, uint32, int64, "
                              "uint64, bool, string, complex64, complex128");
}

struct Rounding {
    double value;
    uint16_t half, bfloat;
};

// Ties go to the even neighbour; one step past a tie goes up; past the largest finite value
// (or at its tie) is infinity; subnormals round on their fixed spacing.
const Rounding roundings[] = {
    {1.0, 0x3c00, 0x3f80},
    {1 + 0x1p-11, 0x3c00, 0x3f80},
    {1 + 3 * 0x1p-11, 0x3c02, 0x3f80},
    {1 + 0x1p-11 + 0x1p-40, 0x3c01, 0x3f80},
    {1 + 0x1p-8, 0x3c04, 0x3f80},
    {1 + 3 * 0x1p-8, 0x3c0c, 0x3f82},
    {1 + 0x1p-8 + 0x1p-40, 0x3c04, 0x3f81},
    {-2.0, 0xc000, 0xc000},
    {-0.0, 0x8000, 0x8000},
    {65504.0, 0x7bff, 0x4780},
    {65519.99, 0x7bff, 0x4780},
    {65520.0, 0x7c00, 0x4780},
    {0x1p-24, 0x0001, 0x3380},
    {0x1p-25, 0x0000, 0x3300},
    {0x1p-25 + 0x1p-60, 0x0001, 0x3300},
    {3 * 0x1p-25, 0x0002, 0x33c0},
    {0x1p-14 - 0x1p-25, 0x0400, 0x3880},
    {0x1p-133, 0x0000, 0x0001},
    {0x1p-134, 0x0000, 0x0000},
    {0x1.fep127, 0x7c00, 0x7f7f},
    {0x1.ffp127, 0x7c00, 0x7f80},
    {-HUGE_VAL, 0xfc00, 0xff80},
};

TEST(ElementTable, SixteenBitFloatsRoundOnceToNearestEven)
{
    for (const Rounding& r : roundings) {
        SCOPED_TRACE(r.value);
        EXPECT_EQ(Float16::fromDouble(r.value).bits, r.half);
        EXPECT_EQ(BFloat16::fromDouble(r.value).bits, r.bfloat);
    }
    EXPECT_TRUE(std::isnan(Float16::fromDouble(std::nan("")).toDouble()));
    EXPECT_TRUE(std::isnan(BFloat16::fromDouble(std::nan("")).toDouble()));
}

// Every 16-bit pattern back to double, and random doubles (near the float16 range, where its
// rounding happens) there: against the compiler's half type where it has one, and against
// float32's bits, rounded by integer arithmetic, for bfloat16 (exact for float32 values).
TEST(ElementTable, SixteenBitFloatsAgainstReferences)
{
    for (uint32_t bits = 0; bits <= 0xffff; ++bits) {
        const double b = BFloat16{uint16_t(bits)}.toDouble();
        const float f = std::bit_cast<float>(bits << 16);
        ASSERT_TRUE(b == double(f) || (std::isnan(b) && std::isnan(f))) << bits;
        if (!std::isnan(b)) {
            ASSERT_EQ(BFloat16::fromDouble(b).bits, bits);
        }
#ifdef __FLT16_MANT_DIG__
        const double h = Float16{uint16_t(bits)}.toDouble();
        const double reference = double(std::bit_cast<_Float16>(uint16_t(bits)));
        ASSERT_TRUE(h == reference || (std::isnan(h) && std::isnan(reference))) << bits;
#endif
    }
    std::mt19937_64 random(7);
    for (int i = 0; i < 200000; ++i) {
        const float f = std::bit_cast<float>(uint32_t(random()));
        if (std::isnan(f)) {
            continue;
        }
        const uint32_t u = std::bit_cast<uint32_t>(f);
        const auto expected = uint16_t((u + 0x7fff + ((u >> 16) & 1)) >> 16);
        ASSERT_EQ(BFloat16::fromDouble(f).bits, expected) << f;
#ifdef __FLT16_MANT_DIG__
        const double d = std::ldexp(double(random() >> 11), -int(random() % 80) - 37);
        ASSERT_EQ(Float16::fromDouble(d).bits, std::bit_cast<uint16_t>(_Float16(d))) << d;
#endif
    }
}

// An integer's nearest bfloat16 by integer arithmetic alone.
double nearestBFloat16(uint64_t m)
{
    const int width = std::bit_width(m);
    if (width <= 8) {
        return double(m);
    }
    const int shift = width - 8;
    uint64_t q = m >> shift;
    const uint64_t rest = m & ((uint64_t(1) << shift) - 1), half = uint64_t(1) << (shift - 1);
    q += rest > half || (rest == half && (q & 1));
    return std::ldexp(double(q), shift);
}

TEST(ElementTable, IntegersRoundOnceToSixteenBits)
{
    // A double would round this onto the tie between two bfloat16 values, and then down.
    const uint64_t past = (uint64_t(1) << 62) + (uint64_t(1) << 54) + 1;
    EXPECT_EQ(BFloat16::fromInteger(past).toDouble(), 0x1p62 + 0x1p55);
    EXPECT_EQ(BFloat16::fromInteger(-int64_t(past)).toDouble(), -0x1p62 - 0x1p55);
    EXPECT_EQ(Float16::fromInteger(int32_t(65519)).bits, 0x7bff);
    EXPECT_TRUE(std::isinf(Float16::fromInteger(int32_t(65520)).toDouble()));
    std::mt19937_64 random(11);
    for (int i = 0; i < 100000; ++i) {
        const uint64_t m = random() >> (random() % 64);
        ASSERT_EQ(BFloat16::fromInteger(m).toDouble(), nearestBFloat16(m)) << m;
    }
}

// ---- the declared-shape reader ----

std::string varint(uint64_t v)
{
    std::string out;
    do {
        out += char((v & 0x7f) | (v > 0x7f ? 0x80 : 0));
        v >>= 7;
    } while (v);
    return out;
}

std::string field(uint32_t number, const std::string& bytes) { return varint(number << 3 | 2) + varint(bytes.size()) + bytes; }
std::string number(uint32_t field, uint64_t v) { return varint(field << 3) + varint(v); }

// TypeProto pieces: a tensor of float with or without a shape; containers of a type.
std::string tensorType(bool shaped, uint32_t kind = 1)
{
    return field(kind, number(1, 1) + (shaped ? field(2, field(1, number(1, 3))) : ""));
}
std::string sequenceOf(const std::string& type) { return field(4, field(1, type)); }
std::string optionalOf(const std::string& type) { return field(9, field(1, type)); }
std::string mapOf(const std::string& type) { return field(5, number(1, 8) + field(2, type)); }
std::string value(const std::string& name, const std::string& type) { return field(1, name) + field(2, type); }
std::string model(const std::string& graph) { return number(1, 8) + field(7, graph); }

// "x:1" (declared), "x:0", "x:1[0]" (a container of an undeclared tensor), "x:1[1[1]]".
std::string describe(const Onnx::DeclaredShape& shape)
{
    return std::to_string(shape.known) + (shape.inner ? "[" + describe(*shape.inner) + "]" : "");
}
std::string read(const std::string& bytes)
{
    std::string text;
    for (const auto& [name, shape] : Onnx::declaredShapes(bytes.data(), bytes.size())) {
        text += (text.empty() ? "" : " ") + name + ":" + describe(shape);
    }
    return text;
}

TEST(DeclaredShape, ReadsHandBuiltModels)
{
    std::string deep = tensorType(false);
    for (int i = 0; i < 150; ++i) {
        deep = sequenceOf(deep);
    }
    const std::string two = field(11, value("a", tensorType(true))) + field(12, value("b", tensorType(false)));
    const struct {
        std::string bytes, expected;
    } cases[] = {
        {model(field(11, value("x", tensorType(true)))), "x:1"},
        {model(field(11, value("x", tensorType(false)))), "x:0"},
        {model(field(11, value("x", tensorType(false, 8)))), "x:0"},
        {model(two), "a:1 b:0"},
        {model(field(1, "graph name") + number(2, 5) + two + field(13, value("ignored", tensorType(false)))), "a:1 b:0"},
        {model(field(11, value("s", sequenceOf(tensorType(false))))), "s:1[0]"},
        {model(field(11, value("o", optionalOf(sequenceOf(tensorType(true)))))), "o:1[1[1]]"},
        {model(field(11, value("m", mapOf(tensorType(false))))), "m:1[0]"},
        // Fixed-width fields are skipped; an unknown wire type ends the reading.
        {model(field(11, value("x", tensorType(false)))) + varint(3 << 3 | 1) + std::string(8, '\xff'), "x:0"},
        {model(field(11, value("x", tensorType(false)))) + varint(3 << 3 | 7) + model(two), "x:0"},
        // A length past the end, a varint that never ends: nothing beyond them is read.
        {model(two).substr(0, 6), ""},
        {model(field(11, value("x", tensorType(false)))) + varint(7 << 3 | 2) + varint(1000), "x:0"},
        {model(two) + std::string(12, '\x80'), "a:1 b:0"},
        {"", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(read(c.bytes), c.expected);
    }
    // Beyond the nesting bound the rest reads as declared, without recursing further.
    std::string expected = "1";
    for (int i = 0; i < Onnx::maxNesting; ++i) {
        expected = "1[" + expected + "]";
    }
    EXPECT_EQ(read(model(field(11, value("d", deep)))), "d:" + expected);
}

} // namespace
