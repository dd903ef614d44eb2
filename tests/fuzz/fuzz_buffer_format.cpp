// Fuzz target for Quelt::Python::parseBufferFormat, which reads the format string and item size
// of any buffer a caller hands over. The first input byte picks the item size (a signed byte, so
// that zero and negative sizes come up), the rest is the format. Beyond memory safety: the text
// is kept as given, the byte-order prefix is read off once, and an element type is found exactly
// when the letters name a number of a kind that comes in the item size, and then has that size.
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>

#include "buffer_format.hpp"
#include "check.hpp"

using Quelt::Fuzz::check;
using Kind = Quelt::Python::BufferFormat::Kind;

namespace {

// The widths each kind of number comes in, as the runtime's element types have them.
bool comesIn(Kind kind, Py_ssize_t size)
{
    auto any = [&](std::initializer_list<Py_ssize_t> sizes) {
        for (Py_ssize_t s : sizes) {
            if (s == size) {
                return true;
            }
        }
        return false;
    };
    switch (kind) {
    case Kind::Signed:
    case Kind::Unsigned: return any({1, 2, 4, 8});
    case Kind::Real: return any({2, 4, 8});
    case Kind::Complex: return any({8, 16});
    case Kind::Bool: return size == 1;
    case Kind::None: return false;
    }
    return false;
}

bool ofKind(ONNXTensorElementDataType type, Kind kind)
{
    switch (type) {
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT8:
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT16:
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT32:
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT64: return kind == Kind::Signed;
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT8:
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT16:
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT32:
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT64: return kind == Kind::Unsigned;
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT16:
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT:
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_DOUBLE: return kind == Kind::Real;
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_COMPLEX64:
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_COMPLEX128: return kind == Kind::Complex;
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_BOOL: return kind == Kind::Bool;
    default: return false;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    const Py_ssize_t itemsize = static_cast<int8_t>(data[0]);
    // Formats are C strings: the bytes up to the first NUL. A lone size byte stands for an
    // exporter that gives no format at all.
    const std::string format(reinterpret_cast<const char*>(data + 1), size - 1);
    const char* given = size == 1 ? nullptr : format.c_str();
    const auto parsed = Quelt::Python::parseBufferFormat(given, itemsize);

    const std::string text = given ? std::string(given) : "B";
    check(parsed.text == text, "the format text is not kept as given");
    const bool prefixed = !text.empty() && std::string("@=<>!").find(text[0]) != std::string::npos;
    check(parsed.code == (prefixed ? text.substr(1) : text), "the byte-order prefix is not read off once");
    check(parsed.bigEndian == (prefixed && (text[0] == '>' || text[0] == '!')), "the byte order is misread");
    check(parsed.type.has_value() == comesIn(parsed.kind, itemsize), "an element type found (or missed) wrongly");
    if (parsed.type) {
        check(static_cast<Py_ssize_t>(Quelt::Onnx::elementSize(*parsed.type)) == itemsize,
              "the element type's size is not the item size");
        check(ofKind(*parsed.type, parsed.kind), "the element type is not of the kind the letters name");
    }
    const std::string& code = parsed.code;
    const bool number = code == "Zf" || code == "Zd" || code == "?"
                        || (code.size() == 1 && std::string("efdbhilqnBHILQN").find(code[0]) != std::string::npos);
    check(number == (parsed.kind != Kind::None), "a number read from letters that name none, or missed");
    return 0;
}
