// Buffers of strings read into string leaves: NumPy's <U (UCS-4), S (bytes) and object arrays.
#include "strings.hpp"

#include <cstring>
#include <string_view>
#include <vector>

#include "type_name.hpp"

namespace py = pybind11;

namespace Quelt::Python {
namespace {

struct StringFormat {
    char letter = 0;  // 'w', 's' or 'O'; 0 for any other format
    size_t width = 0; // code points or bytes of a 'w' or 's' item
};

StringFormat stringFormatOf(const Py_buffer& view)
{
    std::string_view code = view.format ? view.format : "B";
    // Big-endian UCS-4 would need its code points swapped; no exporter on this platform makes it.
    if (!code.empty() && std::string_view("@=<").find(code[0]) != std::string_view::npos) {
        code.remove_prefix(1);
    }
    if (code.empty()) {
        return {};
    }
    const char letter = code.back();
    code.remove_suffix(1);
    size_t count = code.empty() ? 1 : 0;
    for (const char digit : code) {
        if (digit < '0' || digit > '9' || count > (size_t(1) << 40)) {
            return {};
        }
        count = count * 10 + size_t(digit - '0');
    }
    const size_t itemsize = size_t(view.itemsize);
    if ((letter == 'w' && count * 4 == itemsize) || (letter == 's' && count == itemsize)) {
        return {letter, count};
    }
    if (letter == 'O' && count == 1 && itemsize == sizeof(PyObject*)) {
        return {letter, 1};
    }
    return {};
}

// "element 3", "element (1, 2)", "the value" (a 0-d buffer).
std::string position(const std::vector<int64_t>& index)
{
    if (index.empty()) {
        return "the value";
    }
    std::string text = index.size() == 1 ? "element " : "element (";
    for (size_t d = 0; d < index.size(); ++d) {
        text += (d ? ", " : "") + std::to_string(index[d]);
    }
    return index.size() == 1 ? text : text + ")";
}

py::object leafOf(const char* item, const StringFormat& format, std::vector<Py_UCS4>& scratch,
                  const std::vector<int64_t>& index, const Context& context)
{
    if (format.letter == 's') {
        size_t size = format.width;
        while (size > 0 && item[size - 1] == '\0') {
            --size;
        }
        return py::bytes(item, size);
    }
    if (format.letter == 'w') {
        // Copied out: the items need not be aligned.
        scratch.resize(format.width);
        if (format.width) {
            std::memcpy(scratch.data(), item, 4 * format.width);
        }
        size_t size = format.width;
        while (size > 0 && scratch[size - 1] == 0) {
            --size;
        }
        for (size_t i = 0; i < size; ++i) {
            if (scratch[i] > 0x10FFFF) {
                throw py::value_error(context.what + ": " + position(index) + " of the buffer holds code point "
                                      + std::to_string(scratch[i]) + ", beyond Unicode's range");
            }
        }
        PyObject* text = PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, scratch.data(), Py_ssize_t(size));
        if (text == nullptr) {
            throw py::error_already_set();
        }
        return py::reinterpret_steal<py::object>(text);
    }
    PyObject* object = nullptr;
    std::memcpy(&object, item, sizeof object);
    // An array of ctypes objects holds NULL where nothing was stored.
    if (object == nullptr) {
        throw py::type_error(context.what + ": " + position(index) + " of the buffer is NULL, not str or bytes");
    }
    if (!PyUnicode_Check(object) && !PyBytes_Check(object)) {
        throw py::type_error(context.what + ": " + position(index) + " of the buffer is " + typeNameOf(object)
                             + ", not str or bytes");
    }
    return py::reinterpret_borrow<py::object>(object);
}

} // namespace

bool isStringFormat(const Py_buffer& view) { return stringFormatOf(view).letter != 0; }

Source readStringBuffer(std::unique_ptr<Buffer> buffer, const Context& context)
{
    const Py_buffer& view = buffer->view;
    const StringFormat format = stringFormatOf(view);
    const Layout layout = layoutOf(view);
    Source source;
    source.shape = layout.shape;
    size_t count = 1;
    for (const int64_t size : layout.shape) {
        count *= size_t(size);
    }
    source.leaves.reserve(count);
    // Row-major over the shape, each item found through the strides.
    std::vector<int64_t> index(layout.shape.size(), 0);
    std::vector<Py_UCS4> scratch;
    const char* base = static_cast<const char*>(view.buf);
    for (size_t n = 0; n < count; ++n) {
        ptrdiff_t offset = 0;
        for (size_t d = 0; d < index.size(); ++d) {
            offset += ptrdiff_t(index[d]) * layout.strides[d];
        }
        source.leaves.push_back(leafOf(base + offset, format, scratch, index, context));
        for (size_t d = index.size(); d-- > 0;) {
            if (++index[d] < layout.shape[d]) {
                break;
            }
            index[d] = 0;
        }
    }
    return source;
}

} // namespace Quelt::Python
