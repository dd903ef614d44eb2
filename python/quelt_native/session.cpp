// The session runner for real models.
#include "registration.hpp"

namespace Quelt::Python {

void registerSession(pybind11::module_&) {}

} // namespace Quelt::Python
