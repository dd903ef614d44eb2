// Zero-copy exchange of container and model tensor memory.
#include "registration.hpp"

namespace Quelt::Python {

void registerExchange(pybind11::module_&) {}

} // namespace Quelt::Python
