// Registration of module-level operation overloads, and their fast dispatch.
//
// pybind11 resolves a call by trying the overloads of a name in registration order; each
// failed attempt costs a class cast, an error probe and heap traffic, so the 108th overload
// of a name pays a hundred times what the first does. Every overload registered here is also
// recorded in a table keyed by the exact classes of its container arguments. Once everything
// is registered, installFastDispatch() puts a front end before each function: a call whose
// container arguments are instances of exactly those classes, and whose scalars are plain
// Python numbers, goes straight to the one overload whose classes they are; anything else
// (unknown classes, subclasses, other scalar types, keywords, a conversion that fails) goes
// to pybind11's ordered chain, which stays the reference for every observable outcome.
//
// Why the two agree: no two overloads of a name share their container classes, and container
// arguments match only their own class in either of pybind11's passes, so the overload that
// the classes select is the only one the chain could call. Its scalars are converted by the
// same casters with conversion allowed, which accept everything the strict pass accepts and
// produce the same values.
#pragma once

#include <array>
#include <cstddef>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <tuple>
#include <type_traits>
#include <typeinfo>
#include <utility>
#include <vector>

#include <pybind11/complex.h>
#include <pybind11/pybind11.h>

namespace Quelt::Python {

namespace dispatch {

namespace py = pybind11;

template <typename A>
using Bare = std::remove_cv_t<std::remove_reference_t<A>>;

template <typename A>
constexpr bool isScalar = std::is_arithmetic_v<Bare<A>> || std::is_same_v<Bare<A>, std::complex<float>>
                          || std::is_same_v<Bare<A>, std::complex<double>>;

// The most container arguments an overload may take: the dispatch keys hold this many classes.
inline constexpr size_t maxContainers = 3;

// Container arguments are identified by their pybind11 type record; scalars carry none.
template <typename A>
const py::detail::type_info* containerTypeOf()
{
    if constexpr (isScalar<A>) {
        return nullptr;
    } else {
        return py::detail::get_type_info(typeid(Bare<A>), /*throw_if_missing=*/true);
    }
}

// One overload's fast entry: converts the arguments, calls, converts the result. Returns
// nullptr with no Python error set when an argument does not convert, so that the caller
// hands the call to the ordered chain.
using Invoker = PyObject* (*)(const void* callable, PyObject* const* args);

template <typename F>
struct Signature : Signature<decltype(&F::operator())> {};
template <typename C, typename R, typename... A>
struct Signature<R (C::*)(A...) const> {
    using Return = R;
    using Args = std::tuple<A...>;
};
template <typename R, typename... A>
struct Signature<R (*)(A...)> {
    using Return = R;
    using Args = std::tuple<A...>;
};

// A scalar goes through pybind11's own caster with conversion allowed.
template <typename A, bool = isScalar<A>>
struct Argument {
    py::detail::make_caster<A> caster;
    bool load(PyObject* arg) { return caster.load(arg, /*convert=*/true); }
    decltype(auto) get() { return py::detail::cast_op<A>(std::move(caster)); }
};

// A container's class is already known to be exact, so its value is read straight from the
// instance; an instance without a value (never initialised) is left to the chain to refuse.
template <typename A>
struct Argument<A, false> {
    Bare<A>* value = nullptr;
    bool load(PyObject* arg)
    {
        const auto holder = reinterpret_cast<py::detail::instance*>(arg)->get_value_and_holder();
        value = static_cast<Bare<A>*>(holder.value_ptr());
        return value != nullptr && holder.holder_constructed();
    }
    A get() { return static_cast<A>(*value); }
};

// Translates what a call threw exactly as pybind11's dispatcher does.
inline PyObject* translateActiveException()
{
    auto& local = py::detail::get_local_internals().registered_exception_translators;
    if (py::detail::apply_exception_translators(local)) {
        return nullptr;
    }
    auto& global = py::detail::get_internals().registered_exception_translators;
    if (py::detail::apply_exception_translators(global)) {
        return nullptr;
    }
    PyErr_SetString(PyExc_SystemError, "Exception escaped from default exception translator!");
    return nullptr;
}

// What a fast entry leaves to pybind11's generic machinery. queltcore's entries (Generic) leave
// it everything: the look-up of a returned container's class by typeid on every call, and the
// exception translators for every refusal. quelt's entries (Direct) take two shortcuts:
// - Each extension module is loaded with its own copy of the containers' type_info, so the
//   look-up from any module but the core compares them by name, character by character; a
//   Direct entry takes the record found once at registration, the one that look-up finds.
// - A refusal is a std::runtime_error, which pybind11's default translator rethrows (a second
//   unwinding, 40% of a refused call) only to raise RuntimeError with its text. While that
//   translator is the only one registered, a Direct entry raises the same error at once.
enum class EntryPath { Generic, Direct };

// True while pybind11's default translator is the only one: the global list holds only the
// translator pushed when the shared internals were made (libstdc++ adds no local one), and
// quelt._native registers none of its own. Anything another module registers, before or after
// quelt is imported, turns the shortcut off.
inline bool defaultTranslationOnly()
{
    const auto& global = py::detail::get_internals().registered_exception_translators;
    return py::detail::get_local_internals().registered_exception_translators.empty() && !global.empty()
           && std::next(global.begin()) == global.end();
}

// The RuntimeError that the default translator makes of an exact std::runtime_error; a derived
// class, or a process with other translators, is left to the translators.
inline PyObject* raiseRefusal(const std::runtime_error& e)
{
    if (typeid(e) != typeid(std::runtime_error) || !defaultTranslationOnly()) {
        return translateActiveException();
    }
    py::detail::raise_err(PyExc_RuntimeError, e.what());
    return nullptr;
}

template <typename T>
struct FoundClassCaster : py::detail::type_caster_base<T> {
    // A reference to a container, cast as type_caster_base<T> casts one, through `type`.
    static PyObject* cast(const T& result, py::return_value_policy policy, const py::detail::type_info* type)
    {
        static_assert(!std::is_polymorphic_v<T>, "the record of a polymorphic class depends on the object");
        if (policy == py::return_value_policy::automatic || policy == py::return_value_policy::automatic_reference) {
            policy = py::return_value_policy::copy;
        }
        return py::detail::type_caster_generic::cast(&result, policy, py::handle(), type,
                                                     FoundClassCaster::make_copy_constructor(&result),
                                                     FoundClassCaster::make_move_constructor(&result))
            .ptr();
    }
};

template <typename F, EntryPath path, typename R, typename... A, size_t... I>
PyObject* invoke(const void* callable, PyObject* const* args, std::index_sequence<I...>)
{
    std::tuple<Argument<A>...> arguments;
    if (!(std::get<I>(arguments).load(args[I]) && ...)) {
        PyErr_Clear();
        return nullptr;
    }
    const F& f = *static_cast<const F*>(callable);
    try {
        if constexpr (std::is_void_v<R>) {
            f(std::get<I>(arguments).get()...);
            Py_RETURN_NONE;
        } else {
            // The policy pybind11 would apply; for a returned reference to an argument it
            // finds the object that already wraps it and hands that back.
            const auto policy
                = py::detail::return_value_policy_override<R>::policy(py::return_value_policy::automatic);
            if constexpr (path == EntryPath::Direct && std::is_lvalue_reference_v<R> && !isScalar<R>) {
                static const py::detail::type_info* const type = containerTypeOf<R>();
                return FoundClassCaster<Bare<R>>::cast(f(std::get<I>(arguments).get()...), policy, type);
            } else {
                return py::detail::make_caster<R>::cast(f(std::get<I>(arguments).get()...), policy, py::handle())
                    .ptr();
            }
        }
    } catch (const std::runtime_error& e) {
        if constexpr (path == EntryPath::Direct) {
            return raiseRefusal(e);
        } else {
            return translateActiveException();
        }
    } catch (...) {
        return translateActiveException();
    }
}

template <typename F, EntryPath path, typename R, typename... A>
PyObject* invokeOverload(const void* callable, PyObject* const* args)
{
    return invoke<F, path, R, A...>(callable, args, std::index_sequence_for<A...>{});
}

template <typename F, EntryPath path, typename Tuple>
struct Entry;
template <typename F, EntryPath path, typename... A>
struct Entry<F, path, std::tuple<A...>> {
    static_assert(((isScalar<A> ? 0 : 1) + ... + 0) <= maxContainers,
                  "an overload takes more container arguments than a dispatch key holds");
    static constexpr Invoker invoker = &invokeOverload<F, path, typename Signature<F>::Return, A...>;
    static std::vector<const py::detail::type_info*> types() { return {containerTypeOf<A>()...}; }
};

// Everything recorded for one overload.
struct Overload {
    std::shared_ptr<const void> callable;
    Invoker invoker;
    std::vector<const py::detail::type_info*> types;
};

// The overloads recorded per name, in registration order.
struct Recorded {
    std::string name;
    std::vector<Overload> overloads;
};

inline std::vector<Recorded>& recorded()
{
    static std::vector<Recorded> names;
    return names;
}

void record(const char* name, Overload overload);

} // namespace dispatch

// Adds one overload to the module function `name`; the first call creates the function,
// later ones chain onto it in registration order.
template <dispatch::EntryPath path = dispatch::EntryPath::Generic, typename F>
void defOverload(pybind11::module_& m, const char* name, const char* doc, F&& f)
{
    using Fn = std::decay_t<F>;
    using Entry = dispatch::Entry<Fn, path, typename dispatch::Signature<Fn>::Args>;
    dispatch::record(name, {std::make_shared<const Fn>(f), Entry::invoker, Entry::types()});
    m.def(name, std::forward<F>(f), doc);
}

// How the interpreter enters the front end, and how the front end finds a call's overload.
// queltcore's (Generic) take an argument tuple and a keyword dict, as pybind11's functions do,
// and look each container's class up in the table's list of classes. quelt's (Direct) take the
// fast convention, the arguments where they lie (the tuple that the interpreter would make for
// every call is made only for one that goes to the chain), and find each class's place in one
// probe of a perfect hash of the classes' addresses.
enum class FrontEnd { Generic, Direct };

void installFastDispatch(pybind11::module_& m, FrontEnd frontEnd = FrontEnd::Generic);

} // namespace Quelt::Python
