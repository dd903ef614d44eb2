// A test module that registers an exception translator for the whole process, as any pybind11
// extension may: every module's C++ refusals then come out as it says, quelt's as queltcore's.
#include <exception>
#include <stdexcept>
#include <string>

#include <pybind11/pybind11.h>

PYBIND11_MODULE(translator_probe, m)
{
    m.doc() = "turns every std::runtime_error into ArithmeticError(\"translated: ...\")";
    pybind11::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) {
                std::rethrow_exception(p);
            }
        } catch (const std::runtime_error& e) {
            PyErr_SetString(PyExc_ArithmeticError, (std::string("translated: ") + e.what()).c_str());
        }
    });
}
