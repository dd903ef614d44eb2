// The fast front end of the module functions: a table from the exact classes of a call's
// container arguments to the one overload that pybind11's ordered chain would pick.
#include <algorithm>
#include <array>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "address_index.hpp"
#include "overloads.hpp"

namespace py = pybind11;

namespace Quelt::Python {
namespace dispatch {

void record(const char* name, Overload overload)
{
    auto& names = recorded();
    auto it = std::find_if(names.begin(), names.end(), [&](const Recorded& r) { return r.name == name; });
    if (it == names.end()) {
        names.push_back({name, {}});
        it = std::prev(names.end());
    }
    it->overloads.push_back(std::move(overload));
}

namespace {

// Python scalars that convert without running user code; anything else takes the chain.
bool isPlainNumber(PyObject* arg)
{
    PyTypeObject* type = Py_TYPE(arg);
    return type == &PyFloat_Type || type == &PyLong_Type || type == &PyBool_Type || type == &PyComplex_Type;
}

// Python keeps the address of a table's method definition, and the slots point into the table's
// own overloads: a table stays where it was made, neither copied nor moved.
class Table {
public:
    Table(const Table&) = delete;
    Table(Table&&) = delete;
    Table& operator=(const Table&) = delete;
    Table& operator=(Table&&) = delete;

    // entry is the front end's C function, of the convention that frontEnd gives.
    Table(const Recorded& recorded, PyMethodDef chainDef, FrontEnd frontEnd, PyCFunction entry)
        : m_def(chainDef), m_chain(reinterpret_cast<PyCFunctionWithKeywords>(reinterpret_cast<void (*)()>(chainDef.ml_meth)))
    {
        m_def.ml_meth = entry;
        if (frontEnd == FrontEnd::Direct) {
            m_def.ml_flags = METH_FASTCALL | METH_KEYWORDS;
        }
        const auto& first = recorded.overloads.front().types;
        m_arity = first.size();
        for (size_t p = 0; p < m_arity; ++p) {
            if (first[p] != nullptr) {
                m_containerPositions.push_back(p);
            }
        }
        for (const Overload& o : recorded.overloads) {
            if (o.types.size() != m_arity) {
                throw std::logic_error("overloads of " + recorded.name + " differ in arity");
            }
            for (size_t p = 0; p < m_arity; ++p) {
                if ((o.types[p] == nullptr) != (first[p] == nullptr)) {
                    throw std::logic_error("overloads of " + recorded.name + " differ in container positions");
                }
                if (o.types[p] != nullptr
                    && std::find(m_classes.begin(), m_classes.end(), o.types[p]->type) == m_classes.end()) {
                    m_classes.push_back(o.types[p]->type);
                }
            }
        }
        size_t slots = 1;
        for (size_t i = 0; i < m_containerPositions.size(); ++i) {
            slots *= m_classes.size();
        }
        if (frontEnd == FrontEnd::Direct) {
            m_index = AddressIndex<PyTypeObject>::of(m_classes);
        }
        m_slots.assign(slots, nullptr);
        m_overloads = recorded.overloads;
        for (const Overload& o : m_overloads) {
            std::array<PyTypeObject*, maxContainers> key{};
            for (size_t k = 0; k < m_containerPositions.size(); ++k) {
                key[k] = o.types[m_containerPositions[k]]->type;
            }
            const size_t slot = slotOf(key.data());
            // The first registered overload wins, as in the chain.
            if (m_slots[slot] == nullptr) {
                m_slots[slot] = &o;
            }
        }
    }

    PyMethodDef* def() { return &m_def; }

    PyObject* call(PyObject* self, PyObject* args, PyObject* kwargs) const
    {
        const bool named = kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0;
        if (PyObject* result = direct<Search::List>(&PyTuple_GET_ITEM(args, 0), size_t(PyTuple_GET_SIZE(args)), named)) {
            return result;
        }
        return PyErr_Occurred() ? nullptr : m_chain(self, args, kwargs);
    }

    // The same for the interpreter's fast calling convention: the arguments where they lie,
    // keyword names apart. Only a call that goes to the chain is given the tuple and dict.
    PyObject* callFast(PyObject* self, PyObject* const* args, Py_ssize_t count, PyObject* keywords) const
    {
        const bool named = keywords != nullptr && PyTuple_GET_SIZE(keywords) != 0;
        if (PyObject* result = direct<Search::Hash>(args, size_t(count), named)) {
            return result;
        }
        if (PyErr_Occurred()) {
            return nullptr;
        }
        py::tuple positional(count);
        for (Py_ssize_t i = 0; i < count; ++i) {
            positional[size_t(i)] = py::reinterpret_borrow<py::object>(args[i]);
        }
        py::object given;
        if (named) {
            py::dict byName;
            for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(keywords); ++k) {
                byName[py::handle(PyTuple_GET_ITEM(keywords, k))] = py::handle(args[count + k]);
            }
            given = std::move(byName);
        }
        return m_chain(self, positional.ptr(), given.ptr());
    }

private:
    static constexpr size_t noSlot = size_t(-1);

    size_t slotOf(PyTypeObject* const* key) const
    {
        size_t slot = 0;
        for (size_t k = 0; k < m_containerPositions.size(); ++k) {
            const auto found = std::find(m_classes.begin(), m_classes.end(), key[k]);
            if (found == m_classes.end()) {
                return noSlot;
            }
            slot = slot * m_classes.size() + size_t(found - m_classes.begin());
        }
        return slot;
    }

    enum class Search { List, Hash };

    // The overload that the arguments' classes select, called: its result, or nullptr with
    // the operation's error set, or nullptr alone when the call is the chain's (keywords, another
    // arity, classes or scalars the table does not know, a conversion that fails).
    template <Search search>
    PyObject* direct(PyObject* const* items, size_t count, bool named) const
    {
        if (named || count != m_arity) {
            return nullptr;
        }
        const Overload* overload = search == Search::Hash && m_index ? selectHashed(items) : select(items);
        return overload ? overload->invoker(overload->callable.get(), items) : nullptr;
    }

    // The same choice as select(), the slot computed as the classes are found.
    const Overload* selectHashed(PyObject* const* items) const
    {
        size_t slot = 0;
        size_t k = 0;
        for (size_t p = 0; p < m_arity; ++p) {
            if (k < m_containerPositions.size() && m_containerPositions[k] == p) {
                const size_t place = m_index->find(Py_TYPE(items[p]));
                if (place == AddressIndex<PyTypeObject>::none) {
                    return nullptr;
                }
                slot = slot * m_classes.size() + place;
                ++k;
            } else if (!isPlainNumber(items[p])) {
                return nullptr;
            }
        }
        return m_slots[slot];
    }

    const Overload* select(PyObject* const* items) const
    {
        std::array<PyTypeObject*, maxContainers> key{};
        size_t k = 0;
        for (size_t p = 0; p < m_arity; ++p) {
            if (k < m_containerPositions.size() && m_containerPositions[k] == p) {
                key[k++] = Py_TYPE(items[p]);
            } else if (!isPlainNumber(items[p])) {
                return nullptr;
            }
        }
        const size_t slot = slotOf(key.data());
        return slot == noSlot ? nullptr : m_slots[slot];
    }

    PyMethodDef m_def;
    PyCFunctionWithKeywords m_chain;
    size_t m_arity = 0;
    std::vector<size_t> m_containerPositions;
    std::vector<PyTypeObject*> m_classes;
    std::vector<Overload> m_overloads;
    std::vector<const Overload*> m_slots;
    std::optional<AddressIndex<PyTypeObject>> m_index; // Direct front ends'
};

static_assert(!std::is_copy_constructible_v<Table> && !std::is_move_constructible_v<Table>
              && !std::is_copy_assignable_v<Table> && !std::is_move_assignable_v<Table>);

// The tables live as long as the process: the module is never unloaded.
constexpr size_t maxFunctions = 16;
std::array<std::unique_ptr<Table>, maxFunctions> tables;

template <size_t I>
PyObject* entry(PyObject* self, PyObject* args, PyObject* kwargs)
{
    return tables[I]->call(self, args, kwargs);
}

template <size_t I>
PyObject* fastEntry(PyObject* self, PyObject* const* args, Py_ssize_t count, PyObject* keywords)
{
    try {
        return tables[I]->callFast(self, args, count, keywords);
    } catch (...) {
        return translateActiveException(); // the chain's tuple or dict could not be made
    }
}

template <size_t... I>
std::array<PyCFunction, sizeof...(I)> makeEntries(std::index_sequence<I...>)
{
    return {reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<I>))...};
}

template <size_t... I>
std::array<PyCFunction, sizeof...(I)> makeFastEntries(std::index_sequence<I...>)
{
    return {reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fastEntry<I>))...};
}

const auto entries = makeEntries(std::make_index_sequence<maxFunctions>{});
const auto fastEntries = makeFastEntries(std::make_index_sequence<maxFunctions>{});

} // namespace
} // namespace dispatch

void installFastDispatch(py::module_& m, FrontEnd frontEnd)
{
    using namespace dispatch;
    auto& names = recorded();
    if (names.size() > maxFunctions) {
        throw std::logic_error("too many module functions for the fast dispatch");
    }
    for (size_t i = 0; i < names.size(); ++i) {
        py::object chain = m.attr(names[i].name.c_str());
        if (!PyCFunction_Check(chain.ptr())) {
            throw std::logic_error(names[i].name + " is not a built-in function");
        }
        auto* function = reinterpret_cast<PyCFunctionObject*>(chain.ptr());
        tables[i] = std::make_unique<Table>(names[i], *function->m_ml, frontEnd,
                                            frontEnd == FrontEnd::Direct ? fastEntries[i] : entries[i]);
        // Same self (pybind11's record of the overloads), module and docstring as the chain.
        py::object fast = py::reinterpret_steal<py::object>(
            PyCFunction_NewEx(tables[i]->def(), function->m_self, function->m_module));
        if (!fast) {
            throw py::error_already_set();
        }
        m.attr(names[i].name.c_str()) = fast;
    }
    names.clear();
}

} // namespace Quelt::Python
