// Buffers as quelt._native reads them, for the containers' exchange and the session's tensors:
// held while they are read, and what their formats stand for.
#pragma once

#include <complex>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include <pybind11/pybind11.h>

#include "types/Element.hpp"

namespace Quelt::Python {

// The element type of a container's elements.
template <typename T>
inline constexpr ElementCode elementCodeOf = ElementOf<T>::code;

// A buffer's format: the kind of number its letter names, at the width its item size gives,
// since native formats ('l', 'L', 'n') differ in size between platforms and from their
// standard sizes ('<l'). Floating-point letters name their width themselves.
struct BufferFormat {
    std::string text; // as given; "B" where the exporter gives none, as the protocol says
    std::string code; // without its byte-order prefix
    bool bigEndian;   // '>' or '!'
    bool numeric;     // the letters name a kind of number
    // The element type of that kind and width; nullptr for letters that name no number, a
    // size the kind does not come in, and big-endian items of more than one byte.
    const ElementInfo* element;
};

inline BufferFormat parseBufferFormat(const char* format, Py_ssize_t itemsize)
{
    BufferFormat parsed{format ? format : "B", {}, false, false, nullptr};
    std::string_view code = parsed.text;
    if (!code.empty() && std::string_view("@=<>!").find(code[0]) != std::string_view::npos) {
        parsed.bigEndian = code[0] == '>' || code[0] == '!';
        code.remove_prefix(1);
    }
    parsed.code = code;
    const auto in = [&](std::string_view letters) {
        return code.size() == 1 && letters.find(code[0]) != std::string_view::npos;
    };
    std::optional<ElementKind> kind;
    if (code == "Zf" || code == "Zd") {
        kind = ElementKind::Complex;
    } else if (in("efd")) {
        kind = ElementKind::Real;
    } else if (in("bhilqn")) {
        kind = ElementKind::Signed;
    } else if (in("BHILQN")) {
        kind = ElementKind::Unsigned;
    } else if (code == "?") {
        kind = ElementKind::Bool;
    }
    parsed.numeric = kind.has_value();
    if (kind && itemsize == 0) {
        // An empty array's exporter may give items of no bytes (ctypes does): the letter's own
        // size, standard where a byte order is given, native otherwise.
        const bool standard = parsed.text.size() > code.size() && parsed.text[0] != '@';
        itemsize = in("lL") ? (standard ? 4 : Py_ssize_t(sizeof(long))) : in("nN") ? Py_ssize_t(sizeof(size_t)) : 0;
        for (const ElementInfo& entry : elementTable) {
            if (itemsize == 0 && entry.format && code == entry.format && entry.code != ElementCode::BFloat16) {
                itemsize = Py_ssize_t(entry.size);
            }
        }
    }
    if (!kind || (parsed.bigEndian && itemsize > 1)) {
        return parsed;
    }
    const bool floating = *kind == ElementKind::Real || *kind == ElementKind::Complex;
    for (const ElementInfo& entry : elementTable) {
        if (entry.kind == *kind && Py_ssize_t(entry.size) == itemsize && (!floating || code == entry.format)) {
            parsed.element = &entry;
        }
    }
    return parsed;
}

// A buffer held while it is read; a feed that the runtime reads in place is kept by the run's
// keeper until the run ends. The view stays where it was filled (an exporter may point its
// shape into it), so a Buffer is never copied or moved: it lives behind a unique_ptr.
struct Buffer {
    Py_buffer view{};
    bool held = false;

    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer()
    {
        if (held) {
            PyBuffer_Release(&view);
        }
    }
};

// `value`'s buffer, or nothing if it exports none.
inline std::unique_ptr<Buffer> bufferOf(pybind11::handle value)
{
    if (!PyObject_CheckBuffer(value.ptr())) {
        return nullptr;
    }
    auto buffer = std::make_unique<Buffer>();
    if (PyObject_GetBuffer(value.ptr(), &buffer->view, PyBUF_RECORDS_RO) != 0) {
        throw pybind11::error_already_set();
    }
    buffer->held = true;
    return buffer;
}

} // namespace Quelt::Python
