// The exporter behind quelt.memory, quelt.inputs and quelt.outputs: a C-level type rather than
// a pybind11 class, so that it answers every buffer request exactly (a consumer that asks for
// a C-contiguous or stride-free buffer of a column-major matrix is refused, not handed the
// memory in the wrong order).
#include "buffer_exporter.hpp"

#include <new>
#include <utility>

namespace py = pybind11;

namespace Quelt::Python {
namespace {

struct Exporter {
    PyObject_HEAD
    std::shared_ptr<void> storage;
    PyObject* owner;
    void* data;
    Py_ssize_t itemsize;
    Py_ssize_t length;
    const char* format;
    std::vector<Py_ssize_t> shape;
    std::vector<Py_ssize_t> strides;
    bool cContiguous;
    bool fContiguous;
};

// A zero-size memory may have no address; consumers get a valid one all the same.
char emptyMemory[1];

PyTypeObject exporterType;
PyBufferProcs exporterBufferProcs;

bool isContiguous(const std::vector<Py_ssize_t>& shape, const std::vector<Py_ssize_t>& strides,
                  Py_ssize_t itemsize, bool rowMajor)
{
    Py_ssize_t expected = itemsize;
    const size_t n = shape.size();
    for (size_t k = 0; k < n; ++k) {
        const size_t d = rowMajor ? n - 1 - k : k;
        if (shape[d] == 0) {
            return true;
        }
        if (shape[d] != 1 && strides[d] != expected) {
            return false;
        }
        expected *= shape[d];
    }
    return true;
}

int exporterGetBuffer(PyObject* self, Py_buffer* view, int flags)
{
    auto* e = reinterpret_cast<Exporter*>(self);
    const char* refusal = nullptr;
    if ((flags & PyBUF_C_CONTIGUOUS) == PyBUF_C_CONTIGUOUS && !e->cContiguous) {
        refusal = "memory is not C-contiguous (a matrix is column-major)";
    } else if ((flags & PyBUF_F_CONTIGUOUS) == PyBUF_F_CONTIGUOUS && !e->fContiguous) {
        refusal = "memory is not Fortran-contiguous";
    } else if ((flags & PyBUF_ANY_CONTIGUOUS) == PyBUF_ANY_CONTIGUOUS && !e->cContiguous && !e->fContiguous) {
        refusal = "memory is not contiguous";
    } else if ((flags & PyBUF_STRIDES) != PyBUF_STRIDES && !e->cContiguous) {
        refusal = "memory is column-major: a consumer must accept strides";
    }
    if (refusal != nullptr) {
        PyErr_SetString(PyExc_BufferError, refusal);
        view->obj = nullptr;
        return -1;
    }
    view->buf = e->data;
    view->obj = self;
    Py_INCREF(self);
    view->len = e->length;
    view->readonly = 0;
    view->itemsize = e->itemsize;
    view->format = (flags & PyBUF_FORMAT) == PyBUF_FORMAT ? const_cast<char*>(e->format) : nullptr;
    const bool withShape = (flags & PyBUF_ND) == PyBUF_ND;
    view->ndim = withShape ? static_cast<int>(e->shape.size()) : 1;
    view->shape = withShape ? e->shape.data() : nullptr;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? e->strides.data() : nullptr;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    return 0;
}

int exporterTraverse(PyObject* self, visitproc visit, void* arg)
{
    Py_VISIT(reinterpret_cast<Exporter*>(self)->owner);
    return 0;
}

// Only the owner can be part of a cycle (a model subclass instance holding its own tensors'
// memoryviews); the memory stays valid until the exporter itself goes.
int exporterClear(PyObject* self)
{
    Py_CLEAR(reinterpret_cast<Exporter*>(self)->owner);
    return 0;
}

void exporterDealloc(PyObject* self)
{
    PyObject_GC_UnTrack(self);
    auto* e = reinterpret_cast<Exporter*>(self);
    Py_CLEAR(e->owner);
    e->storage.~shared_ptr();
    e->shape.~vector();
    e->strides.~vector();
    Py_TYPE(self)->tp_free(self);
}

} // namespace

void readyExporterType()
{
    exporterBufferProcs.bf_getbuffer = exporterGetBuffer;
    exporterBufferProcs.bf_releasebuffer = nullptr;
    Py_REFCNT(&exporterType) = 1;
    exporterType.tp_name = "quelt._native.memory_owner";
    exporterType.tp_basicsize = sizeof(Exporter);
    exporterType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    exporterType.tp_doc = "Keeps the memory behind a quelt memoryview alive.";
    exporterType.tp_dealloc = exporterDealloc;
    exporterType.tp_traverse = exporterTraverse;
    exporterType.tp_clear = exporterClear;
    exporterType.tp_as_buffer = &exporterBufferProcs;
    if (PyType_Ready(&exporterType) < 0) {
        throw py::error_already_set();
    }
}

py::object exportMemory(std::shared_ptr<void> storage, py::object owner, void* data, Py_ssize_t itemsize,
                        const char* format, std::vector<Py_ssize_t> shape, std::vector<Py_ssize_t> strides)
{
    PyObject* object = exporterType.tp_alloc(&exporterType, 0);
    if (object == nullptr) {
        throw py::error_already_set();
    }
    // The allocation is zeroed and already tracked: the owner (null) is visited safely while
    // the members are built.
    auto* e = reinterpret_cast<Exporter*>(object);
    Py_ssize_t length = itemsize;
    for (Py_ssize_t extent : shape) {
        length *= extent;
    }
    const bool c = isContiguous(shape, strides, itemsize, true);
    const bool f = isContiguous(shape, strides, itemsize, false);
    new (&e->storage) std::shared_ptr<void>(std::move(storage));
    new (&e->shape) std::vector<Py_ssize_t>(std::move(shape));
    new (&e->strides) std::vector<Py_ssize_t>(std::move(strides));
    e->owner = owner.release().ptr();
    e->data = data != nullptr ? data : emptyMemory;
    e->itemsize = itemsize;
    e->length = length;
    e->format = format;
    e->cContiguous = c;
    e->fContiguous = f;

    auto exporter = py::reinterpret_steal<py::object>(object);
    PyObject* view = PyMemoryView_FromObject(object);
    if (view == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(view);
}

} // namespace Quelt::Python
