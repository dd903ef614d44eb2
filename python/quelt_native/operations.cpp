// quelt's operations: queltcore's overloads, registered by the same loops in the same order,
// whose BLAS and LAPACK calls let other Python threads run.
#include "lock_release.hpp"
#include "overloads.hpp"
#include "registration.hpp"
#include "types.hpp"

namespace Quelt::Python {

void registerLockReleasingOperations(pybind11::module_& m)
{
    hana::for_each(operationsSet, [&](auto type) { registerOperations<typename decltype(type)::type, LockReleased>(m); });
    installFastDispatch(m);
}

} // namespace Quelt::Python
