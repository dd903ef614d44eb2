// quelt's operations: queltcore's overloads, registered by the same loops in the same order,
// whose BLAS and LAPACK calls let other Python threads run.
#include "lock_release.hpp"
#include "overloads.hpp"
#include "registration.hpp"
#include "types.hpp"

namespace Quelt::Python {

// Measured on this machine's float64 kernels, one BLAS thread: releasing and re-taking the lock
// costs about 0.2 us when no other thread wants it; a gemm of 2^18 multiply-adds (64 x 64 x
// 64) takes about 14 us, a dot of 2^18 elements about 80 us, so from here the release costs
// the call under 2 %, while smaller calls end before another thread could do much. A thread
// that does want the lock meanwhile makes the release cost more: up to the interpreter's
// switch interval before the call can return.
const double lockReleaseWork = 1 << 18;

void registerLockReleasingOperations(pybind11::module_& m)
{
    hana::for_each(operationsSet, [&](auto type) { registerOperations<typename decltype(type)::type, LockReleased>(m); });
    installFastDispatch(m, FrontEnd::Direct);
}

} // namespace Quelt::Python
