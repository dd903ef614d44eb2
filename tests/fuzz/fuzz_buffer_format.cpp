// Fuzz target for Quelt::Python::parseBufferFormat, which reads the format string and item size
// of any buffer a caller hands over. The first input byte picks the item size (a signed byte, so
// that zero and negative sizes come up), the rest is the format. Beyond memory safety: the text
// is kept as given, the byte-order prefix is read off once, and an element type is found exactly
// when the letters name a number of a kind that comes in the item size, and then has that size.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <iterator>
#include <string>

#include "buffer_format.hpp"
#include "check.hpp"

using Quelt::Fuzz::check;
using Quelt::ElementKind;

namespace {

// The kind of number a format's letters name, read independently of the parser's own table.
std::optional<ElementKind> kindOf(const std::string& code)
{
    if (code == "Zf" || code == "Zd") {
        return ElementKind::Complex;
    }
    if (code == "?") {
        return ElementKind::Bool;
    }
    if (code.size() == 1 && std::string("efd").find(code[0]) != std::string::npos) {
        return ElementKind::Real;
    }
    if (code.size() == 1 && std::string("bhilqn").find(code[0]) != std::string::npos) {
        return ElementKind::Signed;
    }
    if (code.size() == 1 && std::string("BHILQN").find(code[0]) != std::string::npos) {
        return ElementKind::Unsigned;
    }
    return std::nullopt;
}

// The item size a number of these letters must have for an element type to stand for it:
// integers come in every width, floating-point letters name their own.
bool comesIn(const std::string& code, ElementKind kind, Py_ssize_t size)
{
    switch (kind) {
    case ElementKind::Signed:
    case ElementKind::Unsigned: return size == 1 || size == 2 || size == 4 || size == 8;
    case ElementKind::Bool: return size == 1;
    default: break;
    }
    const char* names[] = {"e", "f", "d", "Zf", "Zd"};
    const Py_ssize_t sizes[] = {2, 4, 8, 8, 16};
    for (size_t i = 0; i < 5; ++i) {
        if (code == names[i]) {
            return size == sizes[i];
        }
    }
    return false;
}

// An empty array's exporter may give items of no bytes (ctypes does): a letter's own size then,
// standard after a byte-order prefix, native without one.
Py_ssize_t ownSize(const std::string& code, bool standard)
{
    const char* names[] = {"b", "B", "?", "h", "H", "e", "i", "I", "f", "l", "L", "q", "Q", "n", "N", "d", "Zf", "Zd"};
    const Py_ssize_t sizes[] = {1, 1, 1, 2, 2, 2, 4, 4, 4, standard ? 4 : 8, standard ? 4 : 8, 8, 8, 8, 8, 8, 8, 16};
    for (size_t i = 0; i < std::size(names); ++i) {
        if (code == names[i]) {
            return sizes[i];
        }
    }
    return 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    const Py_ssize_t givenSize = static_cast<int8_t>(data[0]);
    // Formats are C strings: the bytes up to the first NUL. A lone size byte stands for an
    // exporter that gives no format at all.
    const std::string format(reinterpret_cast<const char*>(data + 1), size - 1);
    const char* given = size == 1 ? nullptr : format.c_str();
    const auto parsed = Quelt::Python::parseBufferFormat(given, givenSize);

    const std::string text = given ? std::string(given) : "B";
    check(parsed.text == text, "the format text is not kept as given");
    const bool prefixed = !text.empty() && std::string("@=<>!").find(text[0]) != std::string::npos;
    check(parsed.code == (prefixed ? text.substr(1) : text), "the byte-order prefix is not read off once");
    check(parsed.bigEndian == (prefixed && (text[0] == '>' || text[0] == '!')), "the byte order is misread");
    const auto kind = kindOf(parsed.code);
    check(parsed.numeric == kind.has_value(), "a number read from letters that name none, or missed");
    const Py_ssize_t itemsize = givenSize == 0 && kind ? ownSize(parsed.code, prefixed && text[0] != '@') : givenSize;
    const bool swapped = parsed.bigEndian && itemsize > 1;
    check((parsed.element != nullptr) == (kind && !swapped && comesIn(parsed.code, *kind, itemsize)),
          "an element type found (or missed) wrongly");
    if (parsed.element) {
        check(static_cast<Py_ssize_t>(parsed.element->size) == itemsize, "the element type's size is not the item size");
        check(parsed.element->kind == *kind, "the element type is not of the kind the letters name");
    }
    return 0;
}
