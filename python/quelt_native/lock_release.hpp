// The section quelt's operations run their BLAS and LAPACK calls in: the interpreter lock is
// released for the call once its work is large enough to repay the release.
#pragma once

#include <array>
#include <memory>
#include <optional>

#include <Python.h>

#include "operations.hpp"

namespace Quelt::Python {

// Work (multiply-adds; elements for level 1) from which the lock is released; defined with
// its measurements in operations.cpp.
extern const double lockReleaseWork;

class LockReleased {
public:
    // The operands' storage is held by the section itself while the lock is released: a
    // container object outlives the call in any case (the call's arguments refer to it), but
    // nothing another thread may do to the Python objects meanwhile can then free the memory
    // that BLAS works on. A small call, which keeps the lock, makes and destroys nothing: at
    // size 1 the section costs a compare and a flag.
    template <Blas::Contiguous... C>
    explicit LockReleased(double work, const C&... operands)
    {
        static_assert(sizeof...(C) <= maxOperands);
        if (work >= lockReleaseWork) [[unlikely]] {
            m_released.emplace(Released{{operands.m_data...}, PyEval_SaveThread()});
        }
    }

    ~LockReleased()
    {
        if (m_released) {
            PyEval_RestoreThread(m_released->thread);
        }
    }

    LockReleased(const LockReleased&) = delete;
    LockReleased& operator=(const LockReleased&) = delete;

private:
    static constexpr size_t maxOperands = 3;
    struct Released {
        std::array<std::shared_ptr<const void>, maxOperands> storage;
        PyThreadState* thread;
    };
    std::optional<Released> m_released;
};

QUELT_EXTERN_OPERATIONS(LockReleased)

} // namespace Quelt::Python
