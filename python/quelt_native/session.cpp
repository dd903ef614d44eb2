// quelt.Session and quelt.TensorInfo: the runner for real models.
#include <atomic>
#include <cerrno>
#include <csignal>
#include <string_view>
#include <unordered_map>

#include <pybind11/stl.h>

#include "fixed_class.hpp"
#include "registration.hpp"
#include "tensor.hpp"
#include "type_name.hpp"

namespace py = pybind11;

namespace Quelt::Python {

namespace {

using Onnx::Kind;
using Onnx::TypeDesc;
using Onnx::ValueInfo;

struct TensorInfo {
    std::string name;
    std::string kind;
    py::object dtype;
    py::object shape;

    explicit TensorInfo(const ValueInfo& info) : name(info.name), kind(Onnx::kindName(info.type.kind))
    {
        const ONNXTensorElementDataType element = info.type.tensorElement();
        dtype = py::none();
        if (element != ONNX_TENSOR_ELEMENT_DATA_TYPE_UNDEFINED) {
            dtype = py::str(Onnx::elementName(element));
        }
        // A sequence or optional value shows the shape of the tensors it holds.
        const TypeDesc* tensor = &info.type;
        while (tensor->kind != Kind::Tensor && tensor->kind != Kind::Map && tensor->contained) {
            tensor = tensor->contained.get();
        }
        py::list dims;
        if (tensor->kind == Kind::Tensor) {
            for (size_t i = 0; i < tensor->dims.size(); ++i) {
                if (tensor->dims[i] >= 0) {
                    dims.append(tensor->dims[i]);
                } else if (!tensor->symbols[i].empty()) {
                    dims.append(tensor->symbols[i]);
                } else {
                    dims.append(py::none());
                }
            }
        }
        shape = py::tuple(dims);
        if (tensor->kind == Kind::Tensor && !tensor->rankKnown) {
            shape = py::none(); // the model does not say
        }
    }

    std::string repr() const
    {
        return "quelt.TensorInfo(name=" + py::repr(py::str(name)).cast<std::string>() + ", kind='" + kind
               + "', dtype=" + py::repr(dtype).cast<std::string>() + ", shape=" + py::repr(shape).cast<std::string>()
               + ")";
    }
};

} // namespace
} // namespace Quelt::Python

// TensorInfo.__new__ and Session.__new__ (below) make instances without their C++ object: the
// methods refuse them, as they refuse such a quelt.Tensor.
template <>
class pybind11::detail::type_caster<Quelt::Python::TensorInfo> : public Quelt::Python::ContainerCaster<Quelt::Python::TensorInfo> {};

namespace Quelt::Python {
namespace {

// ---- Ctrl-C during a run on the main thread ----
//
// The runtime's run cannot look at Python's signal flags, and only the main thread receives
// KeyboardInterrupt. While the main thread runs, SIGINT goes first to a handler that sets the
// run's terminate flag and then to the handler it replaced (Python's, which notes the signal);
// the run stops at its next node, and the interpreter's own check of its flags then raises.
// The run stays on the calling thread: no hand-over costs anything per call.
std::atomic<OrtRunOptions*> interruptible{nullptr};
std::atomic<bool> interrupted{false};
struct sigaction replaced;

void onInterrupt(int signal, siginfo_t* info, void* context)
{
    interrupted.store(true);
    if (OrtRunOptions* options = interruptible.load()) {
        // It only sets a flag and cannot fail; a status would need the heap to free.
        [[maybe_unused]] OrtStatus* status = Ort::GetApi().RunOptionsSetTerminate(options);
    }
    if (replaced.sa_flags & SA_SIGINFO) {
        replaced.sa_sigaction(signal, info, context);
    } else if (replaced.sa_handler != SIG_DFL && replaced.sa_handler != SIG_IGN) {
        replaced.sa_handler(signal);
    }
}

// Put in front of the SIGINT handler (Python's) for a run on the main thread, and left there:
// one query of the handler per run rather than three changes. Outside a run it only passes the
// signal on. A handler that is not a function (ignored, or the default that ends the process)
// is left alone, and so is one that Python installs later, until the next run puts the hook in
// front of it again.
class InterruptHook {
public:
    explicit InterruptHook(OrtRunOptions* options)
    {
        struct sigaction current {};
        sigaction(SIGINT, nullptr, &current);
        const bool ours = (current.sa_flags & SA_SIGINFO) && current.sa_sigaction == onInterrupt;
        if (!ours) {
            const bool function = (current.sa_flags & SA_SIGINFO) || (current.sa_handler != SIG_DFL && current.sa_handler != SIG_IGN);
            if (!function) {
                return;
            }
            replaced = current;
            struct sigaction hook = current;
            hook.sa_flags = (current.sa_flags & SA_RESTART) | SA_SIGINFO;
            hook.sa_sigaction = onInterrupt;
            sigaction(SIGINT, &hook, nullptr);
        }
        // A run started by a Python signal handler just before another begins hands the flag
        // back to the outer run when it ends.
        m_previous = interruptible.exchange(options);
        if (!m_previous) {
            interrupted.store(false);
        }
        m_active = true;
    }
    ~InterruptHook() { end(); }

    void end()
    {
        if (m_active) {
            interruptible.store(m_previous);
            m_active = false;
        }
    }

private:
    OrtRunOptions* m_previous = nullptr;
    bool m_active = false;
};

// One per thread, kept: a run's options cost an allocation and a map to make.
Ort::RunOptions& runOptions()
{
    thread_local Ort::RunOptions options = Onnx::Session::runOptions();
    options.UnsetTerminate();
    return options;
}

unsigned long mainThread = 0;

std::string quotedList(const std::vector<ValueInfo>& infos)
{
    std::string text;
    for (const auto& info : infos) {
        text += (text.empty() ? "'" : ", '") + info.name + "'";
    }
    return text.empty() ? "none" : text;
}

class PySession {
public:
    PySession(py::object model, int threads, const std::string& optimization)
    {
        Onnx::SessionOptions options;
        if (threads < 0) {
            throw py::value_error("threads must be 0 (the runtime's default) or more, got " + std::to_string(threads));
        }
        options.threads = threads;
        static const std::unordered_map<std::string, GraphOptimizationLevel> levels{
            {"disable", ORT_DISABLE_ALL}, {"basic", ORT_ENABLE_BASIC}, {"extended", ORT_ENABLE_EXTENDED}, {"all", ORT_ENABLE_ALL}};
        const auto level = levels.find(optimization);
        if (level == levels.end()) {
            throw py::value_error("optimization must be 'disable', 'basic', 'extended' or 'all', got '" + optimization + "'");
        }
        options.optimization = level->second;

        if (py::isinstance<py::str>(model) || py::hasattr(model, "__fspath__")) {
            py::object os = py::module_::import("os");
            py::object path = os.attr("fspath")(model);
            const std::string encoded = os.attr("fsencode")(path).cast<std::string>();
            if (encoded.find('\0') != std::string::npos) {
                throw py::value_error("model path contains a NUL character");
            }
            struct stat status {};
            if (::stat(encoded.c_str(), &status) != 0 || S_ISDIR(status.st_mode)) {
                errno = S_ISDIR(status.st_mode) ? EISDIR : errno;
                PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.ptr());
                throw py::error_already_set();
            }
            py::gil_scoped_release release;
            m_session = std::make_shared<Onnx::Session>(encoded, options);
        } else if (PyObject_CheckBuffer(model.ptr())) {
            Py_buffer view;
            if (PyObject_GetBuffer(model.ptr(), &view, PyBUF_SIMPLE) != 0) {
                throw py::error_already_set();
            }
            try {
                py::gil_scoped_release release;
                m_session = std::make_shared<Onnx::Session>(view.buf, size_t(view.len), options);
            } catch (...) {
                PyBuffer_Release(&view);
                throw;
            }
            PyBuffer_Release(&view);
        } else {
            throw py::type_error("model must be a path (str or os.PathLike) or the model's bytes, got "
                                 + typeNameOf(model));
        }

        py::list inputs, outputs;
        for (size_t i = 0; i < m_session->inputs().size(); ++i) {
            inputs.append(TensorInfo(m_session->inputs()[i]));
            m_inputIndex.emplace(m_session->inputs()[i].name, i);
        }
        for (size_t i = 0; i < m_session->outputs().size(); ++i) {
            outputs.append(TensorInfo(m_session->outputs()[i]));
            m_outputNames.emplace_back(m_session->outputs()[i].name);
            m_outputIndex.emplace(m_session->outputs()[i].name, i);
        }
        m_inputInfos = py::tuple(inputs);
        m_outputInfos = py::tuple(outputs);
    }

    std::string repr() const
    {
        return "quelt.Session(inputs: " + quotedList(m_session->inputs()) + "; outputs: "
               + quotedList(m_session->outputs()) + ")";
    }

    py::tuple inputs() const { return m_inputInfos; }
    py::tuple outputs() const { return m_outputInfos; }

    py::dict run(py::handle feeds, py::handle wanted)
    {
        const auto& inputs = m_session->inputs();
        const auto& outputs = m_session->outputs();

        // The outputs asked for, in that order.
        boost::container::small_vector<size_t, 8> outputIdx;
        if (wanted.is_none()) {
            for (size_t i = 0; i < outputs.size(); ++i) {
                outputIdx.push_back(i);
            }
        } else {
            if (py::isinstance<py::str>(wanted) || !py::isinstance<py::iterable>(wanted)) {
                throw py::type_error("outputs must be a list of output names, got " + typeNameOf(wanted));
            }
            for (py::handle name : wanted) {
                if (!py::isinstance<py::str>(name)) {
                    throw py::type_error("outputs must be a list of output names, got an item of type "
                                         + typeNameOf(name));
                }
                const auto found = m_outputIndex.find(name.cast<std::string>());
                if (found == m_outputIndex.end()) {
                    throw py::value_error("unknown output '" + name.cast<std::string>() + "'; the model's outputs are "
                                          + quotedList(outputs));
                }
                if (std::find(outputIdx.begin(), outputIdx.end(), found->second) != outputIdx.end()) {
                    throw py::value_error("output '" + name.cast<std::string>() + "' is asked for twice");
                }
                outputIdx.push_back(found->second);
            }
            if (outputIdx.empty()) {
                throw py::value_error("outputs must name at least one output, got none");
            }
        }

        // Every feed is converted and checked before the runtime is called.
        // str and bytes pass the mapping check (they have __getitem__) without being mappings.
        if (!PyDict_Check(feeds.ptr())
            && (!PyMapping_Check(feeds.ptr()) || PyList_Check(feeds.ptr()) || PyTuple_Check(feeds.ptr())
                || PyUnicode_Check(feeds.ptr()) || PyBytes_Check(feeds.ptr()) || PyByteArray_Check(feeds.ptr())
                || !py::hasattr(feeds, "items"))) {
            throw py::type_error("feeds must be a mapping of input names to values, got "
                                 + typeNameOf(feeds));
        }
        FeedKeeper keeper;
        boost::container::small_vector<const char*, 8> inputNames;
        boost::container::small_vector<const OrtValue*, 8> inputValues;
        boost::container::small_vector<bool, 8> given(inputs.size(), false);
        auto feed = [&](py::handle key, py::handle value) {
            if (!PyUnicode_Check(key.ptr())) {
                throw py::type_error("feeds must be keyed by input names, got a key of type "
                                     + typeNameOf(key));
            }
            Py_ssize_t length = 0;
            const char* text = PyUnicode_AsUTF8AndSize(key.ptr(), &length);
            if (text == nullptr) {
                throw py::error_already_set();
            }
            const std::string_view name(text, size_t(length));
            const size_t index = inputIndex(name);
            if (index == inputs.size()) {
                throw py::value_error("unknown input '" + std::string(name) + "'; the model's inputs are "
                                      + quotedList(inputs));
            }
            const ValueInfo& info = inputs[index];
            given[index] = true;
            if (value.is_none() && info.type.kind == Kind::Optional) {
                return; // absent
            }
            inputValues.push_back(feedValue(value, info.type, "input '" + info.name + "'", keeper));
            inputNames.push_back(info.name.c_str());
        };
        if (PyDict_Check(feeds.ptr())) {
            // Without the items view and its tuples. Converting a value may run Python code
            // (__index__, __float__) that changes the dict: the item is held while it is used.
            Py_ssize_t position = 0;
            PyObject *key = nullptr, *value = nullptr;
            py::dict held = py::reinterpret_borrow<py::dict>(feeds);
            while (PyDict_Next(held.ptr(), &position, &key, &value)) {
                py::object heldKey = py::reinterpret_borrow<py::object>(key);
                py::object heldValue = py::reinterpret_borrow<py::object>(value);
                feed(heldKey, heldValue);
            }
        } else {
            for (py::handle item : feeds.attr("items")()) {
                if (!PyTuple_Check(item.ptr()) || PyTuple_GET_SIZE(item.ptr()) != 2) {
                    throw py::type_error("feeds must be a mapping of input names to values, whose items are "
                                         "(name, value) pairs; got an item of type " + typeNameOf(item));
                }
                py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
                feed(pair[0], pair[1]);
            }
        }
        for (size_t i = 0; i < inputs.size(); ++i) {
            if (!given[i] && !inputs[i].hasDefault && inputs[i].type.kind != Kind::Optional) {
                throw py::value_error("missing input '" + inputs[i].name + "'; the model's inputs are " + quotedList(inputs));
            }
        }

        boost::container::small_vector<const char*, 8> outputNames;
        for (size_t i : outputIdx) {
            outputNames.push_back(outputs[i].name.c_str());
        }
        boost::container::small_vector<OrtValue*, 8> results(outputIdx.size(), nullptr);
        execute(inputNames, inputValues, outputNames, results);

        // Owned from here, so that a failed conversion frees every result.
        boost::container::small_vector<Ort::Value, 8> owned;
        for (OrtValue* value : results) {
            owned.emplace_back(value);
        }
        py::dict answer;
        for (size_t i = 0; i < owned.size(); ++i) {
            answer[m_outputNames[outputIdx[i]]] = resultOf(std::move(owned[i]), keeper);
        }
        return answer;
    }

private:
    // The input's position, or the number of inputs if the model has none of that name. A
    // model's few inputs are compared in turn: cheaper than making a string to hash.
    size_t inputIndex(std::string_view name) const
    {
        const auto& inputs = m_session->inputs();
        if (inputs.size() <= 8) {
            for (size_t i = 0; i < inputs.size(); ++i) {
                if (inputs[i].name == name) {
                    return i;
                }
            }
            return inputs.size();
        }
        const auto found = m_inputIndex.find(std::string(name));
        return found == m_inputIndex.end() ? inputs.size() : found->second;
    }

    std::shared_ptr<Onnx::Session> m_session;
    std::unordered_map<std::string, size_t> m_inputIndex, m_outputIndex;
    py::tuple m_inputInfos, m_outputInfos;
    std::vector<py::str> m_outputNames;

    template <typename Names, typename Values, typename Results>
    void execute(const Names& inputNames, const Values& inputValues, const Names& outputNames, Results& results)
    {
        Ort::RunOptions& options = runOptions();
        auto runOnce = [&]() -> Ort::Status {
            py::gil_scoped_release release;
            try {
                m_session->run(options, inputNames.data(), inputValues.data(), inputNames.size(), outputNames.data(),
                               results.data(), results.size());
                return Ort::Status(nullptr);
            } catch (const Ort::Exception& error) {
                return Ort::Status(error);
            }
        };
        if (PyThread_get_thread_ident() != mainThread) {
            // Other threads cannot receive the interrupt; they run side by side.
            Ort::Status status = runOnce();
            if (!status.IsOK()) {
                throw std::runtime_error(status.GetErrorMessage());
            }
            return;
        }
        for (;;) {
            InterruptHook hook(options);
            // A signal that came before the hook is raised here, before anything runs.
            if (PyErr_CheckSignals() != 0) {
                throw py::error_already_set();
            }
            Ort::Status status = runOnce();
            hook.end();
            const bool stopped = interrupted.exchange(false);
            if (PyErr_CheckSignals() != 0) {
                for (OrtValue*& value : results) {
                    Ort::GetApi().ReleaseValue(value);
                    value = nullptr;
                }
                throw py::error_already_set();
            }
            if (status.IsOK()) {
                return;
            }
            if (!stopped) {
                throw std::runtime_error(status.GetErrorMessage());
            }
            // Stopped by a signal whose Python handler did not raise: the run goes on anew.
            options.UnsetTerminate();
        }
    }
};

} // namespace
} // namespace Quelt::Python

template <>
class pybind11::detail::type_caster<Quelt::Python::PySession> : public Quelt::Python::ContainerCaster<Quelt::Python::PySession> {};

namespace Quelt::Python {

// pybind11 ignores __init__ on an instance already made: a second one would seem to load a
// new model while the old one stays. It is refused before pybind11 sees it.
template <typename Class>
void refuseSecondInit(Class& cls)
{
    py::object init = cls.attr("__init__");
    // Kept for the life of the process, as the function's docstring points into it.
    static const std::string doc = py::str(init.attr("__doc__"));
    auto* type = py::detail::get_type_info(typeid(typename Class::type));
    // Not named __init__ inside pybind11, which would treat it as a constructor and skip it.
    py::cpp_function guarded(
        [init, type](py::handle self, py::args args, py::kwargs kwargs) {
            auto* instance = reinterpret_cast<py::detail::instance*>(self.ptr());
            if (PyObject_TypeCheck(self.ptr(), type->type)
                && instance->get_value_and_holder(type, false).holder_constructed()) {
                throw py::type_error(std::string(Py_TYPE(self.ptr())->tp_name)
                                     + " is already initialised; make a new one instead");
            }
            init(self, *args, **kwargs);
        },
        py::name("init"), py::is_method(cls), py::doc(doc.c_str()));
    cls.attr("__init__") = guarded;
}

void registerSession(py::module_& m)
{
    mainThread = py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();
    registerTensor(m);

    py::class_<TensorInfo> info(m, "TensorInfo", "A model input's or output's name, kind, element type and shape.");
    fixClassOfInstances<TensorInfo>(info);
    info.def_readonly("name", &TensorInfo::name)
        .def_readonly("kind", &TensorInfo::kind)
        .def_readonly("dtype", &TensorInfo::dtype)
        .def_readonly("shape", &TensorInfo::shape)
        .def("__repr__", &TensorInfo::repr);

    py::class_<PySession> session(m, "Session", "A runtime session over one ONNX model.");
    fixClassOfInstances<PySession>(session);
    session.def(py::init<py::object, int, const std::string&>(), py::arg("model"), py::kw_only(), py::arg("threads") = 0,
             py::arg("optimization") = "all")
        .def_property_readonly("inputs", &PySession::inputs)
        .def_property_readonly("outputs", &PySession::outputs)
        .def("__repr__", &PySession::repr)
        .def("run", &PySession::run, py::arg("feeds"), py::arg("outputs") = py::none(),
             "Runs the model; returns a dict of output name to result, in the order asked for.");
    refuseSecondInit(session);
}

} // namespace Quelt::Python
