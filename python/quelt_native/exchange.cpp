// Zero-copy exchange of container memory, copies in and out of the containers without a
// Python call per element (through the one conversion of Python values), and the BLAS thread
// count. The runtime's headers stay out of it: model memory is model_memory.cpp's.
#include <cblas.h>

#include <complex>
#include <cstdint>
#include <string>
#include <vector>

#include <boost/hana.hpp>

#include "buffer_exporter.hpp"
#include "buffer_format.hpp"
#include "convert.hpp"
#include "registration.hpp"
#include "type_name.hpp"
#include "types.hpp"

namespace py = pybind11;

namespace Quelt::Python {
namespace {

// The code of the container element type with letter s, d, c or z.
ElementCode codeOfLetter(char letter)
{
    for (const ElementInfo& entry : elementTable) {
        if (entry.letter != 0 && entry.letter == letter) {
            return entry.code;
        }
    }
    throw py::value_error(std::string("unknown element type letter '") + letter + "'");
}

// "float32, float64, complex64 or complex128", or with each format: "float32 (f), ...".
std::string containerNames(bool formats)
{
    std::vector<std::string> names;
    for (const ElementInfo& entry : elementTable) {
        if (entry.letter != 0) {
            names.push_back(std::string(entry.name) + (formats ? std::string(" (") + entry.format + ")" : ""));
        }
    }
    std::string text;
    for (size_t i = 0; i < names.size(); ++i) {
        text += (i == 0 ? "" : i + 1 == names.size() && !formats ? " or " : ", ") + names[i];
    }
    return text;
}

// Calls f with the container element type named by one of the letters s d c z.
template <typename F>
py::object withElementType(char letter, F&& f)
{
    return visitElement(codeOfLetter(letter), [&](auto t) -> py::object {
        if constexpr (ElementOf<typename decltype(t)::type>::letter != 0) {
            return f(t);
        } else {
            return py::none();
        }
    });
}

// ---------------------------------------------------------------------------------------------
// Memory export.

template <typename C>
py::object containerMemory(const C& c)
{
    using T = typename C::SampleType;
    const auto itemsize = static_cast<Py_ssize_t>(sizeof(T));
    std::vector<Py_ssize_t> shape, strides;
    if constexpr (isMatrix<C>) {
        const auto rows = static_cast<Py_ssize_t>(c.template dim<0>());
        shape = {rows, static_cast<Py_ssize_t>(c.template dim<1>())};
        strides = {itemsize, rows * itemsize};
    } else {
        shape = {static_cast<Py_ssize_t>(c.numel())};
        strides = {itemsize};
    }
    return exportMemory(c.m_data, py::object(), c.get(), itemsize, ElementOf<T>::format,
                        std::move(shape), std::move(strides));
}

// ---------------------------------------------------------------------------------------------
// Copies out.

template <typename T>
py::list listOf(const T* data, size_t n, size_t stride)
{
    py::list result(n);
    for (size_t i = 0; i < n; ++i) {
        PyObject* item = toPython<T>(data + i * stride);
        if (item == nullptr) {
            throw py::error_already_set();
        }
        PyList_SET_ITEM(result.ptr(), static_cast<Py_ssize_t>(i), item);
    }
    return result;
}

template <typename C>
py::list toList(const C& c)
{
    if constexpr (isMatrix<C>) {
        const size_t rows = c.template dim<0>(), cols = c.template dim<1>();
        py::list result(rows);
        for (size_t i = 0; i < rows; ++i) {
            PyList_SET_ITEM(result.ptr(), static_cast<Py_ssize_t>(i), listOf(c.get() + i, cols, rows).release().ptr());
        }
        return result;
    } else {
        return listOf(c.get(), c.numel(), 1);
    }
}

// ---------------------------------------------------------------------------------------------
// Copies in.

// An iterable's items as a list of its own: a list changed later (by an item's conversion, or
// by a generator of rows) does not change what is read. The iterable's own errors pass through.
py::object listOf(py::handle data, const std::string& refusal)
{
    if (!PyList_Check(data.ptr()) && !PyTuple_Check(data.ptr()) && Py_TYPE(data.ptr())->tp_iter == nullptr
        && !PySequence_Check(data.ptr())) {
        throw py::type_error(refusal + typeNameOf(data));
    }
    PyObject* list = PySequence_List(data.ptr());
    if (list == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(list);
}

// A sequence of rows, each an iterable of numbers, as equal-length lists.
py::object rowsOf(py::handle data)
{
    py::object rows = listOf(data, "matrix() takes a 2-dimensional buffer or a sequence of rows, not ");
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rows.ptr()); ++i) {
        py::object row = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(rows.ptr(), i));
        PyList_SetItem(rows.ptr(), i, listOf(row, "row " + std::to_string(i) + " is not a sequence of numbers but ")
                                          .release()
                                          .ptr());
    }
    // Checked once every row is made, when no more Python code runs before they are read.
    for (Py_ssize_t i = 1; i < PyList_GET_SIZE(rows.ptr()); ++i) {
        const Py_ssize_t length = PyList_GET_SIZE(PyList_GET_ITEM(rows.ptr(), i));
        const Py_ssize_t first = PyList_GET_SIZE(PyList_GET_ITEM(rows.ptr(), 0));
        if (length != first) {
            throw py::value_error("row " + std::to_string(i) + " has " + std::to_string(length) + " elements, row 0 has "
                                  + std::to_string(first));
        }
    }
    return rows;
}

// The letter a buffer gives without a dtype: only the containers' own four element types.
char letterOf(const ElementInfo& element, const char* format)
{
    if (element.letter == 0) {
        throw py::type_error("buffer format '" + std::string(format ? format : "B") + "' is none of the element types "
                             + containerNames(true) + "; give a dtype to convert it");
    }
    return element.letter;
}

// A new vector or matrix from a buffer, bytes, or an iterable of numbers or of rows.
template <bool matrix>
py::object copyIn(py::handle data, const py::object& letterArgument)
{
    char letter = letterArgument.is_none() ? 0 : letterArgument.cast<std::string>().at(0);
    const Context context{"", Wording::Exchange};
    Source source;
    if (PyBytes_Check(data.ptr()) || PyByteArray_Check(data.ptr())) {
        if (letter == 0) {
            throw py::type_error("a buffer of bytes (format 'B') needs a dtype: " + containerNames(false));
        }
        source = readRaw(bufferOf(data), codeOfLetter(letter), context);
    } else if (PyObject_CheckBuffer(data.ptr())) {
        source = readBuffer(bufferOf(data), context);
        if (letter == 0) {
            letter = letterOf(*source.format, source.buffer->view.format);
        }
    } else {
        source = readNested(matrix ? rowsOf(data) : listOf(data, "vector() takes a buffer or an iterable of numbers, not "),
                            context, matrix ? 2 : 1);
        if (letter == 0) {
            letter = codeOfLetter('z') == inferredCode(source, context, true) ? 'z' : 'd';
        }
    }
    const size_t wanted = matrix ? 2 : 1;
    if (source.shape.size() != wanted) {
        throw py::value_error(std::string(matrix ? "a matrix" : "a vector") + " takes a " + std::to_string(wanted)
                              + "-dimensional buffer, not a " + std::to_string(source.shape.size()) + "-dimensional one");
    }
    return withElementType(letter, [&](auto t) -> py::object {
        using T = typename decltype(t)::type;
        const auto rows = size_t(source.shape[0]);
        const auto item = ptrdiff_t(sizeof(T));
        if constexpr (matrix) {
            const auto cols = size_t(source.shape[1]);
            Matrix<T> result(rows, cols, ForOverwrite{});
            fill(source, {ElementOf<T>::code, reinterpret_cast<char*>(result.get()), {item, ptrdiff_t(rows) * item}, {}},
                 context);
            return py::cast(std::move(result));
        } else {
            Vector<T> result(rows, ForOverwrite{});
            fill(source, {ElementOf<T>::code, reinterpret_cast<char*>(result.get()), {item}, {}}, context);
            return py::cast(std::move(result));
        }
    });
}

// ---------------------------------------------------------------------------------------------
// Dispatch on the container's class: one look-up of its Python type, where twelve overloads
// would each try a cast in turn (several microseconds for the last ones).

struct ContainerFunctions {
    PyTypeObject* type;
    py::object (*memory)(py::handle);
    py::list (*tolist)(py::handle);
};

template <typename C>
ContainerFunctions functionsOf()
{
    // Through the caster, which refuses instances whose constructor never ran.
    return {py::detail::get_type_info(typeid(C), /*throw_if_missing=*/true)->type,
            [](py::handle c) { return containerMemory(c.cast<const C&>()); },
            [](py::handle c) { return toList(c.cast<const C&>()); }};
}

// nullptr for an object of none of the container classes.
const ContainerFunctions* functionsFor(py::handle c)
{
    // queltcore registered the classes before this module's functions can be called.
    static const std::vector<ContainerFunctions> classes = [] {
        std::vector<ContainerFunctions> found;
        hana::for_each(operationsSet, [&](auto t) {
            using T = typename decltype(t)::type;
            hana::for_each(containerSet<T>, [&](auto k) { found.push_back(functionsOf<typename decltype(k)::type>()); });
        });
        return found;
    }();
    PyTypeObject* type = Py_TYPE(c.ptr());
    for (const ContainerFunctions& entry : classes) {
        if (entry.type == type) {
            return &entry;
        }
    }
    for (const ContainerFunctions& entry : classes) {
        if (PyType_IsSubtype(type, entry.type)) {
            return &entry;
        }
    }
    return nullptr;
}

} // namespace

void registerExchange(py::module_& m)
{
    readyExporterType();
    // None for what is no container: the package words the refusal, or takes the object as it is.
    m.def("_memory", [](py::handle c) -> py::object {
        const ContainerFunctions* functions = functionsFor(c);
        return functions ? functions->memory(c) : py::none();
    }, py::arg("c"));
    m.def("_tolist", [](py::handle c) -> py::object {
        const ContainerFunctions* functions = functionsFor(c);
        return functions ? py::object(functions->tolist(c)) : py::none();
    }, py::arg("c"));
    // The containers' element types, name to letter, in the table's order: quelt's dtype names.
    py::dict dtypes;
    for (const ElementInfo& entry : elementTable) {
        if (entry.letter != 0) {
            dtypes[entry.name] = std::string(1, entry.letter);
        }
    }
    m.attr("_container_dtypes") = dtypes;
    m.def("_vector", &copyIn<false>, py::arg("data"), py::arg("letter"));
    m.def("_matrix", &copyIn<true>, py::arg("data"), py::arg("letter"));
    m.def("_blas_threads", [] { return openblas_get_num_threads(); });
    m.def("_set_blas_threads", [](int n) { openblas_set_num_threads(n); }, py::arg("n"));
}

} // namespace Quelt::Python
