// quelt.Session, quelt.TensorInfo, quelt.ModelMetadata and quelt.Cancel: the runner for real
// models, with cancellation, deadlines and outputs written into the caller's memory.
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <ctime>
#include <condition_variable>
#include <csignal>
#include <map>
#include <mutex>
#include <string_view>
#include <thread>
#include <unordered_map>

#include <pybind11/stl.h>

#include "buffer_format.hpp"
#include "fixed_class.hpp"
#include "overloads.hpp"
#include "registration.hpp"
#include "tensor.hpp"
#include "type_name.hpp"
#include "types.hpp"

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
    bool hasDefault;

    explicit TensorInfo(const ValueInfo& info)
        : name(info.name), kind(Onnx::kindName(info.type.kind)), hasDefault(info.hasDefault)
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

struct Metadata {
    std::string producer, producerVersion, graphName, domain, description;
    py::object version;
    py::dict custom;

    explicit Metadata(const Onnx::ModelMetadata& given)
        : producer(given.producer), producerVersion(given.producerVersion), graphName(given.graphName),
          domain(given.domain), description(given.description)
    {
        version = given.version ? py::object(py::int_(*given.version)) : py::object(py::none());
        for (const auto& [key, value] : given.custom) {
            custom[py::str(key)] = py::str(value);
        }
    }

    std::string repr() const
    {
        auto text = [](const std::string& value) { return py::repr(py::str(value)).cast<std::string>(); };
        return "quelt.ModelMetadata(producer=" + text(producer) + ", producer_version=" + text(producerVersion)
               + ", graph_name=" + text(graphName) + ", domain=" + text(domain) + ", description="
               + text(description) + ", version=" + py::repr(version).cast<std::string>()
               + ", custom=" + py::repr(custom).cast<std::string>() + ")";
    }
};

// ---- stopping a run: tokens, deadlines ----
//
// A run is stopped through the terminate flag of its own run options (one per thread), so the
// session's other runs go on. Whoever stops it says why first and sets the flag second; the
// run, restarting after an interrupt, clears the flag first and reads why second, so no stop
// is lost between the two.
struct RunStop {
    enum Reason { None, Cancelled, TimedOut };
    OrtRunOptions* options;
    std::atomic<int> reason{None};

    explicit RunStop(OrtRunOptions* options) : options(options) {}

    void stop(Reason why)
    {
        int expected = None;
        reason.compare_exchange_strong(expected, why);
        // It only sets a flag and cannot fail.
        [[maybe_unused]] OrtStatus* status = Ort::GetApi().RunOptionsSetTerminate(options);
    }
};

// What a quelt.Cancel holds: once cancelled it stays so, and stops every run that carries it.
class CancelState {
public:
    void cancel()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_cancelled = true;
        for (RunStop* run : m_runs) {
            run->stop(RunStop::Cancelled);
        }
    }

    bool cancelled() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_cancelled;
    }

    // False, and the run not added, once cancelled.
    bool add(RunStop* run)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_cancelled) {
            return false;
        }
        m_runs.push_back(run);
        return true;
    }

    void remove(RunStop* run)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_runs.erase(std::find(m_runs.begin(), m_runs.end(), run));
    }

private:
    mutable std::mutex m_mutex;
    bool m_cancelled = false;
    boost::container::small_vector<RunStop*, 4> m_runs;
};

struct Cancel {
    std::shared_ptr<CancelState> state = std::make_shared<CancelState>();
};

// One thread for the whole process stops the runs whose deadline has passed. It is started
// with the first deadline (again in a forked child, which has no copy of it) and never ends:
// it may still be waiting when the process exits, so it and its state are never destroyed.
class Watchdog {
public:
    using Clock = std::chrono::steady_clock;
    using Key = std::pair<Clock::time_point, uint64_t>;

    static Watchdog& instance()
    {
        static Watchdog* one = new Watchdog();
        return *one;
    }

    Key add(Clock::time_point due, RunStop* run)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_process != ::getpid()) {
            std::thread([this] { watch(); }).detach();
            m_process = ::getpid();
            m_wakes = Clock::time_point::max();
        }
        const Key key{due, m_next++};
        m_due.emplace(key, run);
        // The watchdog wakes by its own time anyway and then looks again: woken only for an
        // earlier deadline, so that runs with the same timeout one after another cost no
        // thread switch each.
        if (due < m_wakes) {
            m_wakes = due;
            m_wake.notify_one();
        }
        return key;
    }

    // Nothing happens for a run whose deadline has already stopped it.
    void remove(const Key& key)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_due.erase(key);
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::map<Key, RunStop*> m_due;
    uint64_t m_next = 0;
    pid_t m_process = 0;
    // When the watchdog looks next, at the latest: a deadline from then on needs no wake.
    Clock::time_point m_wakes = Clock::time_point::max();

    void watch()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            if (m_due.empty()) {
                // The time already set is kept, though no run waits for it now: runs that come
                // and go meanwhile with later deadlines then need no wake each.
                if (m_wakes != Clock::time_point::max() && Clock::now() < m_wakes) {
                    m_wake.wait_until(lock, m_wakes);
                } else {
                    m_wakes = Clock::time_point::max();
                    m_wake.wait(lock);
                }
            } else if (Clock::now() >= m_due.begin()->first.first) {
                m_due.begin()->second->stop(RunStop::TimedOut);
                m_due.erase(m_due.begin());
            } else {
                m_wakes = m_due.begin()->first.first;
                m_wake.wait_until(lock, m_wakes);
            }
        }
    }
};

PyObject* cancelledType = nullptr; // quelt.Cancelled

// What may stop one call: its token and its deadline.
struct StopConditions {
    std::shared_ptr<CancelState> token;
    std::optional<Watchdog::Clock::time_point> due;
    py::object timeout; // the seconds given, for the message

    [[noreturn]] void raise(int reason) const
    {
        if (reason == RunStop::Cancelled) {
            PyErr_SetString(cancelledType, "the run was cancelled");
        } else {
            PyErr_SetString(PyExc_TimeoutError,
                            ("the run did not finish within " + py::str(timeout).cast<std::string>() + " seconds").c_str());
        }
        throw py::error_already_set();
    }
};

// A run registered with its token and the watchdog for as long as it lasts. A cancelled token
// or a passed deadline stops the call here, before the runtime starts.
class StopGuard {
public:
    StopGuard(RunStop& run, const StopConditions& conditions) : m_run(run), m_conditions(conditions)
    {
        if (conditions.due && Watchdog::Clock::now() >= *conditions.due) {
            conditions.raise(RunStop::TimedOut);
        }
        if (conditions.token && !conditions.token->add(&run)) {
            conditions.raise(RunStop::Cancelled);
        }
        m_token = conditions.token != nullptr;
        if (conditions.due) {
            m_key = Watchdog::instance().add(*conditions.due, &run);
            m_timed = true;
        }
    }
    StopGuard(const StopGuard&) = delete;
    StopGuard& operator=(const StopGuard&) = delete;
    ~StopGuard()
    {
        if (m_timed) {
            Watchdog::instance().remove(m_key);
        }
        if (m_token) {
            m_conditions.token->remove(&m_run);
        }
    }

    // Raises if the run was stopped by its token or its deadline.
    void raiseIfStopped() const
    {
        if (const int reason = m_run.reason.load()) {
            m_conditions.raise(reason);
        }
    }

private:
    RunStop& m_run;
    const StopConditions& m_conditions;
    bool m_token = false;
    bool m_timed = false;
    Watchdog::Key m_key{};
};

} // namespace
} // namespace Quelt::Python

// TensorInfo.__new__, Session.__new__ (below) and the like make instances without their C++
// object: the methods refuse them, as they refuse such a quelt.Tensor.
template <>
class pybind11::detail::type_caster<Quelt::Python::TensorInfo> : public Quelt::Python::ContainerCaster<Quelt::Python::TensorInfo> {};
template <>
class pybind11::detail::type_caster<Quelt::Python::Metadata> : public Quelt::Python::ContainerCaster<Quelt::Python::Metadata> {};
template <>
class pybind11::detail::type_caster<Quelt::Python::Cancel> : public Quelt::Python::ContainerCaster<Quelt::Python::Cancel> {};

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
// a query of the handler rather than three changes per run. Outside a run it only passes the
// signal on. A handler that is not a function (ignored, or the default that ends the process)
// is left alone, and so is one that Python installs later, until a run puts the hook in front
// of it again.
//
// The query is a system call that would cost a tiny model's run a tenth of its time, so a hook
// found in place less than hookRecheck ago is taken to be there still: a handler installed
// within that time of the last query is put behind the hook by the first run that starts after
// the time has passed (Ctrl-C during a run started before then comes when it ends). Only the
// main thread reads or writes when the hook was seen.
constexpr int64_t hookRecheck = 10'000'000; // nanoseconds
int64_t hookSeenAt = INT64_MIN / 2;

int64_t coarseNow()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return int64_t(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

class InterruptHook {
public:
    explicit InterruptHook(OrtRunOptions* options)
    {
        const int64_t now = coarseNow();
        if (now - hookSeenAt >= hookRecheck) {
            if (!putInFront()) {
                return;
            }
            hookSeenAt = now;
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
    // False when the handler is not a function, and the hook is not put in front of it.
    static bool putInFront()
    {
        struct sigaction current {};
        sigaction(SIGINT, nullptr, &current);
        if ((current.sa_flags & SA_SIGINFO) && current.sa_sigaction == onInterrupt) {
            return true;
        }
        const bool function = (current.sa_flags & SA_SIGINFO) || (current.sa_handler != SIG_DFL && current.sa_handler != SIG_IGN);
        if (!function) {
            return false;
        }
        replaced = current;
        struct sigaction hook = current;
        hook.sa_flags = (current.sa_flags & SA_RESTART) | SA_SIGINFO;
        hook.sa_sigaction = onInterrupt;
        sigaction(SIGINT, &hook, nullptr);
        return true;
    }

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

// ---- the options' values ----

bool isInt(py::handle value) { return PyLong_Check(value.ptr()) && !PyBool_Check(value.ptr()); }

// A count of threads: an int (not a bool), 0 for the runtime's default.
int countOption(py::handle value, const char* name)
{
    if (!isInt(value)) {
        throw py::type_error(std::string(name) + " must be an int, got " + typeNameOf(value));
    }
    int overflow = 0;
    const long long count = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (overflow < 0 || (overflow == 0 && count < 0)) {
        throw py::value_error(std::string(name) + " must be 0 (the runtime's default) or more, got "
                              + py::repr(value).cast<std::string>());
    }
    if (overflow > 0 || count > INT_MAX) {
        throw py::value_error(std::string(name) + " must be at most " + std::to_string(INT_MAX) + ", got "
                              + py::repr(value).cast<std::string>());
    }
    return int(count);
}

template <typename T>
T choiceOption(py::handle value, const char* name, const std::vector<std::pair<const char*, T>>& choices)
{
    if (!PyUnicode_Check(value.ptr())) {
        throw py::type_error(std::string(name) + " must be a str, got " + typeNameOf(value));
    }
    const std::string given = value.cast<std::string>();
    std::string names;
    for (size_t i = 0; i < choices.size(); ++i) {
        if (given == choices[i].first) {
            return choices[i].second;
        }
        names += std::string(i == 0 ? "'" : i + 1 == choices.size() ? " or '" : ", '") + choices[i].first + "'";
    }
    throw py::value_error(std::string(name) + " must be " + names + ", got '" + given + "'");
}

bool isPath(py::handle value) { return PyUnicode_Check(value.ptr()) || py::hasattr(value, "__fspath__"); }

// A path as the file system takes it, or none for None.
std::optional<std::string> pathOption(py::handle value, const char* name, py::object* path = nullptr)
{
    if (value.is_none()) {
        return std::nullopt;
    }
    if (!isPath(value)) {
        throw py::type_error(std::string(name) + " must be a path (str or os.PathLike) or None, got " + typeNameOf(value));
    }
    py::object os = py::module_::import("os");
    py::object given = os.attr("fspath")(value);
    const std::string encoded = os.attr("fsencode")(given).cast<std::string>();
    if (encoded.find('\0') != std::string::npos) {
        throw py::value_error(std::string(name) + " contains a NUL character");
    }
    if (encoded.empty()) {
        throw py::value_error(std::string(name) + " must not be empty");
    }
    if (path) {
        *path = given;
    }
    return encoded;
}

[[noreturn]] void raiseErrno(int error, py::handle path)
{
    errno = error;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.ptr());
    throw py::error_already_set();
}

std::vector<std::pair<std::string, int64_t>> freeDimensionsOption(py::handle value)
{
    std::vector<std::pair<std::string, int64_t>> dimensions;
    if (value.is_none()) {
        return dimensions;
    }
    if (!PyDict_Check(value.ptr())) {
        throw py::type_error("free_dimensions must be a dict of dimension names to sizes, got " + typeNameOf(value));
    }
    for (auto [name, size] : py::reinterpret_borrow<py::dict>(value)) {
        if (!PyUnicode_Check(name.ptr())) {
            throw py::type_error("free_dimensions must be keyed by dimension names, got a key of type " + typeNameOf(name));
        }
        const std::string text = name.cast<std::string>();
        if (!isInt(size)) {
            throw py::type_error("free dimension '" + text + "' must be an int, got " + typeNameOf(size));
        }
        int overflow = 0;
        const long long number = PyLong_AsLongLongAndOverflow(size.ptr(), &overflow);
        if (overflow != 0 || number < 0) {
            throw py::value_error("free dimension '" + text + "' must be 0 or more and fit int64, got "
                                  + py::repr(size).cast<std::string>());
        }
        dimensions.emplace_back(text, number);
    }
    return dimensions;
}

// ---- outputs into the caller's memory ----

// One output that the runtime writes into memory the caller gave.
struct Into {
    size_t position; // among the outputs asked for
    py::object target;
    std::unique_ptr<Buffer> buffer; // held for the run; none for a core container
    void* data = nullptr;
    size_t bytes = 0;
    Ort::Value value{nullptr};
};

// A core vector's or view's memory: element type, data, element count.
std::optional<std::tuple<ONNXTensorElementDataType, void*, size_t>> containerMemory(py::handle value)
{
    std::optional<std::tuple<ONNXTensorElementDataType, void*, size_t>> found;
    hana::for_each(operationsSet, [&](auto type) {
        using T = typename decltype(type)::type;
        if (found) {
        } else if (py::isinstance<Vector<T>>(value)) {
            auto& v = value.cast<Vector<T>&>();
            found.emplace(Onnx::onnxType(elementCodeOf<T>), static_cast<void*>(v.get()), v.numel());
        } else if (py::isinstance<VectorView<T>>(value)) {
            auto& v = value.cast<VectorView<T>&>();
            found.emplace(Onnx::onnxType(elementCodeOf<T>), static_cast<void*>(v.get()), v.numel());
        }
    });
    return found;
}

void prepareInto(Into& into, const ValueInfo& info, bool isInput, const FeedKeeper& keeper)
{
    const std::string what = "into '" + info.name + "'";
    if (info.type.kind != Kind::Tensor) {
        throw py::type_error("output '" + info.name + "' is a " + Onnx::kindName(info.type.kind)
                             + ", which cannot be written into a buffer");
    }
    // The runtime hands such an output back as the fed value itself, never writing it.
    if (isInput) {
        throw py::value_error("output '" + info.name + "' is the input of that name, which the runtime hands back "
                              "without writing into a buffer");
    }
    const ONNXTensorElementDataType element = info.type.element;
    if (element == ONNX_TENSOR_ELEMENT_DATA_TYPE_STRING || !Onnx::findElementType(element)) {
        throw py::type_error("output '" + info.name + "' has element type " + Onnx::elementName(element)
                             + ", which cannot be written into a buffer");
    }
    std::vector<int64_t> shape;
    ONNXTensorElementDataType given;
    if (auto container = containerMemory(into.target)) {
        size_t count = 0;
        std::tie(given, into.data, count) = *container;
        shape = {int64_t(count)};
    } else if (PyObject_CheckBuffer(into.target.ptr())) {
        into.buffer = bufferOf(into.target);
        const Py_buffer& view = into.buffer->view;
        if (view.readonly) {
            throw py::type_error(what + " is read-only");
        }
        if (!PyBuffer_IsContiguous(&view, 'C')) {
            throw py::type_error(what + " is not C-contiguous");
        }
        given = tensors::bufferType(view, what);
        for (int i = 0; i < view.ndim; ++i) {
            shape.push_back(view.shape ? view.shape[i] : view.len / view.itemsize);
        }
        into.data = view.buf;
    } else {
        throw py::type_error(what + " expects a writable C-contiguous buffer or a queltcore vector or view, got "
                             + typeNameOf(into.target));
    }
    tensors::checkType(what, element, given);
    const TypeDesc& type = info.type;
    bool fits = !type.rankKnown || shape.size() == type.dims.size();
    for (size_t i = 0; fits && type.rankKnown && i < shape.size(); ++i) {
        fits = type.dims[i] < 0 || type.dims[i] == shape[i];
    }
    if (!fits) {
        throw py::value_error(what + " expects shape " + shapeText(type.dims, type.symbols) + ", got " + shapeText(shape));
    }
    into.bytes = Onnx::elementCount(shape) * Onnx::findElementType(element)->size;
    // The runtime would read a feed while it writes over it.
    if (into.bytes != 0 && keeper.overlaps(into.data, into.bytes)) {
        throw py::value_error(what + " shares memory with a feed");
    }
    into.value = Onnx::Tensor::wrap(element, into.data, into.bytes, shape);
}

// Where the runtime put an output of its own rather than the one it was given (an output that
// is a fed value, say), it is copied into the caller's memory.
void settleInto(Into& into, const std::string& name)
{
    void* written = nullptr;
    Ort::ThrowOnError(Ort::GetApi().GetTensorMutableData(into.value, &written));
    if (written == into.data) {
        return;
    }
    auto info = into.value.GetTensorTypeAndShapeInfo();
    const size_t bytes = info.GetElementCount() * Onnx::elementSize(info.GetElementType());
    if (bytes != into.bytes) {
        throw std::runtime_error("output '" + name + "' came back with shape " + shapeText(info.GetShape())
                                 + ", which into does not have");
    }
    if (bytes != 0) {
        std::memcpy(into.data, written, bytes);
    }
}

// A run's output values; those the runtime made are freed with it, whatever happens.
struct RunOutputs {
    boost::container::small_vector<OrtValue*, 8> values;
    boost::container::small_vector<bool, 8> given; // into the caller's memory: owned by the Into

    explicit RunOutputs(size_t count) : values(count, nullptr), given(count, false) {}
    RunOutputs(const RunOutputs&) = delete;
    RunOutputs& operator=(const RunOutputs&) = delete;
    ~RunOutputs()
    {
        for (size_t i = 0; i < values.size(); ++i) {
            if (!given[i] && values[i]) {
                Ort::GetApi().ReleaseValue(values[i]);
            }
        }
    }
};

class PySession {
public:
    PySession(py::object model, py::object threads, py::object interThreads, py::object execution,
              py::object optimization, py::object optimizedPath, py::object profile, py::object freeDimensions,
              py::object externalData)
    {
        Onnx::SessionOptions options;
        options.threads = countOption(threads, "threads");
        options.interThreads = countOption(interThreads, "inter_threads");
        options.execution = choiceOption<ExecutionMode>(execution, "execution",
                                                        {{"sequential", ORT_SEQUENTIAL}, {"parallel", ORT_PARALLEL}});
        options.optimization = choiceOption<GraphOptimizationLevel>(
            optimization, "optimization",
            {{"disable", ORT_DISABLE_ALL}, {"basic", ORT_ENABLE_BASIC}, {"extended", ORT_ENABLE_EXTENDED}, {"all", ORT_ENABLE_ALL}});
        options.optimizedPath = pathOption(optimizedPath, "optimized_path").value_or("");
        options.profilePrefix = pathOption(profile, "profile").value_or("");
        options.freeDimensions = freeDimensionsOption(freeDimensions);
        py::object folderName;
        if (auto folder = pathOption(externalData, "external_data", &folderName)) {
            struct stat status {};
            if (::stat(folder->c_str(), &status) != 0) {
                raiseErrno(errno, folderName);
            }
            if (!S_ISDIR(status.st_mode)) {
                raiseErrno(ENOTDIR, folderName);
            }
            options.externalData = *folder;
        }

        if (isPath(model)) {
            py::object path;
            const std::string encoded = *pathOption(model, "model path", &path);
            struct stat status {};
            if (::stat(encoded.c_str(), &status) != 0 || S_ISDIR(status.st_mode)) {
                raiseErrno(S_ISDIR(status.st_mode) ? EISDIR : errno, path);
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
        m_metadata = py::cast(Metadata(m_session->metadata()));
    }

    std::string repr() const
    {
        return "quelt.Session(inputs: " + quotedList(m_session->inputs()) + "; outputs: "
               + quotedList(m_session->outputs()) + ")";
    }

    py::tuple inputs() const { return m_inputInfos; }
    py::tuple outputs() const { return m_outputInfos; }
    py::object metadata() const { return m_metadata; }

    py::object endProfiling()
    {
        std::optional<std::string> file;
        {
            py::gil_scoped_release release;
            file = m_session->endProfiling();
        }
        return file ? py::object(py::str(*file)) : py::object(py::none());
    }

    py::dict run(py::handle feeds, py::handle wanted, py::handle intoGiven, py::handle cancel, py::handle timeout)
    {
        const auto& inputs = m_session->inputs();
        const auto& outputs = m_session->outputs();

        StopConditions stops;
        if (!timeout.is_none()) {
            if (PyBool_Check(timeout.ptr()) || !(PyLong_Check(timeout.ptr()) || PyFloat_Check(timeout.ptr()))) {
                throw py::type_error("timeout must be a number of seconds or None, got " + typeNameOf(timeout));
            }
            const double seconds = PyFloat_AsDouble(timeout.ptr());
            if (seconds == -1.0 && PyErr_Occurred()) {
                PyErr_Clear();
            }
            if (!(seconds > 0)) {
                throw py::value_error("timeout must be a positive number of seconds, got "
                                      + py::repr(timeout).cast<std::string>());
            }
            // Beyond any run's length (and the clock's range): no deadline.
            if (seconds < 1e9) {
                stops.due = Watchdog::Clock::now()
                            + std::chrono::duration_cast<Watchdog::Clock::duration>(std::chrono::duration<double>(seconds));
                stops.timeout = py::reinterpret_borrow<py::object>(timeout);
            }
        }
        if (!cancel.is_none()) {
            if (!py::isinstance<Cancel>(cancel)) {
                throw py::type_error("cancel must be a quelt.Cancel or None, got " + typeNameOf(cancel));
            }
            stops.token = cancel.cast<Cancel&>().state;
        }

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
                const size_t found = outputIndex(name.cast<std::string>());
                if (std::find(outputIdx.begin(), outputIdx.end(), found) != outputIdx.end()) {
                    throw py::value_error("output '" + name.cast<std::string>() + "' is asked for twice");
                }
                outputIdx.push_back(found);
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
        forEachItem(feeds, feed);
        for (size_t i = 0; i < inputs.size(); ++i) {
            if (!given[i] && !inputs[i].hasDefault && inputs[i].type.kind != Kind::Optional) {
                throw py::value_error("missing input '" + inputs[i].name + "'; the model's inputs are " + quotedList(inputs));
            }
        }

        // Checked once the feeds are known, so that neither memory overlaps the other.
        boost::container::small_vector<Into, 4> intos;
        RunOutputs results(outputIdx.size());
        if (!intoGiven.is_none()) {
            if (!PyDict_Check(intoGiven.ptr())) {
                throw py::type_error("into must be a dict of output names to buffers, got " + typeNameOf(intoGiven));
            }
            forEachItem(intoGiven, [&](py::handle key, py::handle target) {
                if (!PyUnicode_Check(key.ptr())) {
                    throw py::type_error("into must be keyed by output names, got a key of type " + typeNameOf(key));
                }
                const std::string name = key.cast<std::string>();
                const auto position = std::find(outputIdx.begin(), outputIdx.end(), outputIndex(name));
                if (position == outputIdx.end()) {
                    throw py::value_error("output '" + name + "' is in into but not among the outputs asked for");
                }
                Into& into = intos.emplace_back();
                into.position = size_t(position - outputIdx.begin());
                into.target = py::reinterpret_borrow<py::object>(target);
                prepareInto(into, outputs[*position], inputIndex(outputs[*position].name) != inputs.size(), keeper);
                for (const Into& other : intos) {
                    const char* a = static_cast<const char*>(into.data);
                    const char* b = static_cast<const char*>(other.data);
                    if (&other != &into && a < b + other.bytes && b < a + into.bytes) {
                        throw py::value_error("into '" + name + "' shares memory with into '"
                                              + outputs[outputIdx[other.position]].name + "'");
                    }
                }
            });
            for (Into& into : intos) {
                results.values[into.position] = into.value;
                results.given[into.position] = true;
            }
        }

        boost::container::small_vector<const char*, 8> outputNames;
        for (size_t i : outputIdx) {
            outputNames.push_back(outputs[i].name.c_str());
        }
        execute(inputNames, inputValues, outputNames, results.values, stops);

        py::dict answer;
        for (Into& into : intos) {
            settleInto(into, outputs[outputIdx[into.position]].name);
        }
        for (size_t i = 0, next = 0; i < outputIdx.size(); ++i) {
            py::object result;
            if (results.given[i]) {
                result = intos[next++].target;
            } else {
                result = resultOf(Ort::Value(results.values[i]), keeper);
                results.values[i] = nullptr; // owned by the result from here
            }
            answer[m_outputNames[outputIdx[i]]] = result;
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

    size_t outputIndex(const std::string& name) const
    {
        const auto found = m_outputIndex.find(name);
        if (found == m_outputIndex.end()) {
            throw py::value_error("unknown output '" + name + "'; the model's outputs are "
                                  + quotedList(m_session->outputs()));
        }
        return found->second;
    }

    // Without the items view and its tuples for a dict. Converting a value may run Python code
    // (__index__, __float__) that changes the dict: the item is held while it is used.
    template <typename Call>
    static void forEachItem(py::handle mapping, const Call& call)
    {
        if (PyDict_Check(mapping.ptr())) {
            Py_ssize_t position = 0;
            PyObject *key = nullptr, *value = nullptr;
            py::dict held = py::reinterpret_borrow<py::dict>(mapping);
            while (PyDict_Next(held.ptr(), &position, &key, &value)) {
                py::object heldKey = py::reinterpret_borrow<py::object>(key);
                py::object heldValue = py::reinterpret_borrow<py::object>(value);
                call(heldKey, heldValue);
            }
        } else {
            for (py::handle item : mapping.attr("items")()) {
                if (!PyTuple_Check(item.ptr()) || PyTuple_GET_SIZE(item.ptr()) != 2) {
                    throw py::type_error("feeds must be a mapping of input names to values, whose items are "
                                         "(name, value) pairs; got an item of type " + typeNameOf(item));
                }
                py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
                call(pair[0], pair[1]);
            }
        }
    }

    std::shared_ptr<Onnx::Session> m_session;
    std::unordered_map<std::string, size_t> m_inputIndex, m_outputIndex;
    py::tuple m_inputInfos, m_outputInfos;
    py::object m_metadata;
    std::vector<py::str> m_outputNames;

    template <typename Names, typename Values, typename Results>
    void execute(const Names& inputNames, const Values& inputValues, const Names& outputNames, Results& results,
                 const StopConditions& stops)
    {
        Ort::RunOptions& options = runOptions();
        RunStop run(options);
        StopGuard guard(run, stops);
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
                guard.raiseIfStopped();
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
            const bool signalled = interrupted.exchange(false);
            if (PyErr_CheckSignals() != 0) {
                throw py::error_already_set();
            }
            if (status.IsOK()) {
                return;
            }
            guard.raiseIfStopped();
            if (!signalled) {
                throw std::runtime_error(status.GetErrorMessage());
            }
            // Stopped by a signal whose Python handler did not raise: the run goes on anew,
            // unless its token or deadline stopped it meanwhile.
            options.UnsetTerminate();
            guard.raiseIfStopped();
        }
    }
};

} // namespace
} // namespace Quelt::Python

template <>
class pybind11::detail::type_caster<Quelt::Python::PySession> : public Quelt::Python::ContainerCaster<Quelt::Python::PySession> {};

namespace Quelt::Python {
namespace {

// ---- Session.run as the interpreter's own kind of method ----
//
// A method descriptor over a METH_FASTCALL function: the interpreter calls it with the
// arguments where they lie, without the bound method, argument tuple and keyword dict that
// pybind11's dispatch builds and then matches against each overload. That is a fifth of what a
// tiny model's run costs besides the runtime's own work. The arguments are those the stub and
// the docs give: run(feeds, outputs=None, *, into=None, cancel=None, timeout=None).
const py::detail::type_info* sessionType = nullptr;

constexpr const char* runParameters[] = {"feeds", "outputs", "into", "cancel", "timeout"};
constexpr Py_ssize_t runPositional = 2;

PyObject* runMethod(PyObject* self, PyObject* const* args, Py_ssize_t count, PyObject* keywords)
{
    try {
        PyObject* values[std::size(runParameters)] = {};
        if (count > runPositional) {
            throw py::type_error("run() takes at most " + std::to_string(runPositional) + " positional arguments ("
                                 + std::to_string(count) + " given)");
        }
        std::copy(args, args + count, values);
        const Py_ssize_t named = keywords ? PyTuple_GET_SIZE(keywords) : 0;
        for (Py_ssize_t k = 0; k < named; ++k) {
            PyObject* name = PyTuple_GET_ITEM(keywords, k);
            size_t p = 0;
            while (p < std::size(runParameters) && PyUnicode_CompareWithASCIIString(name, runParameters[p]) != 0) {
                ++p;
            }
            if (p == std::size(runParameters)) {
                throw py::type_error("run() got an unexpected keyword argument '" + py::str(name).cast<std::string>()
                                     + "'");
            }
            if (values[p] != nullptr) {
                throw py::type_error(std::string("run() got multiple values for argument '") + runParameters[p] + "'");
            }
            values[p] = args[count + k];
        }
        if (values[0] == nullptr) {
            throw py::type_error("run() missing required argument 'feeds'");
        }
        for (PyObject*& value : values) {
            if (value == nullptr) {
                value = Py_None;
            }
        }
        // The descriptor has checked that self is a Session.
        refuseUninitialised(self, sessionType);
        auto& session = *reinterpret_cast<py::detail::instance*>(self)->get_value_and_holder(sessionType).value_ptr<PySession>();
        return session.run(values[0], values[1], values[2], values[3], values[4]).release().ptr();
    } catch (...) {
        return dispatch::translateActiveException();
    }
}

PyMethodDef runDefinition = {
    "run", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&runMethod)), METH_FASTCALL | METH_KEYWORDS,
    "run($self, /, feeds, outputs=None, *, into=None, cancel=None, timeout=None)\n--\n\n"
    "Runs the model; returns a dict of output name to result, in the order asked for."};

void defineRun(py::class_<PySession>& cls)
{
    sessionType = py::detail::get_type_info(typeid(PySession), /*throw_if_missing=*/true);
    PyObject* method = PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls.ptr()), &runDefinition);
    if (method == nullptr || PyObject_SetAttrString(cls.ptr(), "run", method) != 0) {
        Py_XDECREF(method);
        throw py::error_already_set();
    }
    Py_DECREF(method);
}

} // namespace

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
        .def_readonly("has_default", &TensorInfo::hasDefault)
        .def("__repr__", &TensorInfo::repr);

    py::class_<Metadata> metadata(m, "ModelMetadata", "What a model says about itself.");
    fixClassOfInstances<Metadata>(metadata);
    metadata.def_readonly("producer", &Metadata::producer)
        .def_readonly("producer_version", &Metadata::producerVersion)
        .def_readonly("graph_name", &Metadata::graphName)
        .def_readonly("domain", &Metadata::domain)
        .def_readonly("description", &Metadata::description)
        .def_readonly("version", &Metadata::version)
        // A copy each time: the session's own stays as the model says.
        .def_property_readonly("custom", [](const Metadata& self) { return py::dict(self.custom.attr("copy")()); })
        .def("__repr__", &Metadata::repr);

    cancelledType = PyErr_NewExceptionWithDoc("quelt.Cancelled", "A run stopped by its quelt.Cancel token.",
                                              PyExc_RuntimeError, nullptr);
    if (cancelledType == nullptr) {
        throw py::error_already_set();
    }
    m.add_object("Cancelled", py::handle(cancelledType));

    py::class_<Cancel> cancel(m, "Cancel", "A token that stops the runs carrying it, from any thread.");
    fixClassOfInstances<Cancel>(cancel);
    cancel.def(py::init<>())
        .def("cancel", [](const Cancel& self) { self.state->cancel(); },
             "Stops every run that carries this token, and every later one before it starts.")
        .def_property_readonly("cancelled", [](const Cancel& self) { return self.state->cancelled(); })
        .def("__repr__", [](const Cancel& self) {
            return std::string("quelt.Cancel(cancelled=") + (self.state->cancelled() ? "True" : "False") + ")";
        });

    py::class_<PySession> session(m, "Session", "A runtime session over one ONNX model.");
    fixClassOfInstances<PySession>(session);
    session.def(py::init<py::object, py::object, py::object, py::object, py::object, py::object, py::object, py::object,
                         py::object>(),
                py::arg("model"), py::kw_only(), py::arg("threads") = 0, py::arg("inter_threads") = 0,
                py::arg("execution") = "sequential", py::arg("optimization") = "all",
                py::arg("optimized_path") = py::none(), py::arg("profile") = py::none(),
                py::arg("free_dimensions") = py::none(), py::arg("external_data") = py::none())
        .def_property_readonly("inputs", &PySession::inputs)
        .def_property_readonly("outputs", &PySession::outputs)
        .def_property_readonly("metadata", &PySession::metadata)
        .def("__repr__", &PySession::repr)
        .def("end_profiling", &PySession::endProfiling,
             "Ends profiling and returns the profile file's path; None if the session does not profile.");
    defineRun(session);
    refuseSecondInit(session);
}

} // namespace Quelt::Python
