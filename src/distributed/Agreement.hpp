// Quelt::Distributed::agree: the one small collective that makes sure every rank of a grid is
// making the same call before any of them reaches the engine.
//
// Each rank hashes what it knows of the call (its name, every operand's element type, shape,
// blocks and grid, which operands are the same object, and the scalars' bits) and the ranks
// take the maximum of the hash and of its complement in one allreduce: both come back as this
// rank's own values only if every rank hashed the same. A call the ranks disagree about is then
// refused on every rank with the same message, where the engine would have hung or computed
// garbage. Checks made after this one see equal arguments on every rank, so they refuse
// together too.
#pragma once

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <stdexcept>
#include <string>

#include "distributed/DistMatrix.hpp"

namespace Quelt::Distributed {

// FNV-1a, 64 bits: enough that two different calls colliding is not a practical concern.
class Fingerprint {
public:
    Fingerprint& bytes(const void* data, size_t count)
    {
        const auto* p = static_cast<const unsigned char*>(data);
        for (size_t i = 0; i < count; ++i) {
            m_hash = (m_hash ^ p[i]) * 1099511628211ull;
        }
        return *this;
    }

    template <typename V>
    Fingerprint& operator<<(const V& value)
    {
        return bytes(&value, sizeof value);
    }

    Fingerprint& operator<<(const char* text) { return bytes(text, std::strlen(text) + 1); }

    uint64_t value() const { return m_hash; }

private:
    uint64_t m_hash = 14695981039346656037ull;
};

// A scalar argument as the binding converted it: a value that could not be converted to the
// operands' element type is refused after the agreement, so that a rank alone in failing to
// convert cannot leave the others waiting.
template <typename T>
struct Scalar {
    T value{};
    bool converted = false;
};

// A scalar that does not convert to the operands' element type.
class ScalarError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

inline void agree(const Comm& comm, const char* call, uint64_t hash)
{
    uint64_t mine[2] = {hash, ~hash};
    uint64_t most[2] = {0, 0};
    check(MPI_Allreduce(mine, most, 2, MPI_UINT64_T, MPI_MAX, comm.handle()), "MPI_Allreduce");
    if (most[0] != mine[0] || most[1] != mine[1]) {
        throw std::runtime_error("In " + std::string(call)
                                 + ", the ranks disagree about the call: the operands' shapes, blocks, element "
                                   "types or grids, or the scalars, differ between ranks");
    }
}

struct Named {
    const char* name;
    const DistMatrix* matrix;
};

// What the ranks must agree on about DistMatrix operands: element type, shape, blocks, whether
// each is on the first one's grid, and which of them are the same object.
inline void describe(Fingerprint& print, std::initializer_list<Named> operands)
{
    const Named& first = *operands.begin();
    size_t position = 0;
    for (const Named& op : operands) {
        size_t same = position++;
        size_t earlier = 0;
        for (const Named& other : operands) {
            if (earlier == same) {
                break;
            }
            if (other.matrix == op.matrix) {
                same = earlier;
                break;
            }
            ++earlier;
        }
        const DistMatrix& m = *op.matrix;
        print << m.element() << m.rows() << m.cols() << m.rowBlock() << m.colBlock()
              << (m.grid() == first.matrix->grid()) << same;
    }
}

// The agreement for an operation on DistMatrix operands, then the checks every operation makes
// of them: one grid, one element type, scalars that converted. The first operand's grid is the
// one the ranks agree over.
template <typename T>
void agreeOnOperands(const char* call, std::initializer_list<Named> operands,
                     std::initializer_list<std::pair<const char*, Scalar<T>>> scalars)
{
    const Named& first = *operands.begin();
    Fingerprint print;
    print << call;
    describe(print, operands);
    for (const auto& [name, scalar] : scalars) {
        print << scalar.converted << scalar.value;
    }
    agree(*first.matrix->grid()->comm(), call, print.value());

    for (const Named& op : operands) {
        if (op.matrix->grid() != first.matrix->grid()) {
            throw std::runtime_error("In " + std::string(call) + ", " + op.name + " is on another grid than "
                                     + first.name + ": redistribute " + op.name + " onto " + first.name
                                     + "'s grid");
        }
        if (op.matrix->element() != first.matrix->element()) {
            throw std::runtime_error("In " + std::string(call) + ", " + op.name + " holds "
                                     + op.matrix->elementName() + " elements and " + first.name + " "
                                     + first.matrix->elementName() + ": every operand needs one element type");
        }
    }
    for (const auto& [name, scalar] : scalars) {
        if (!scalar.converted) {
            throw ScalarError("In " + std::string(call) + ", " + name + " is not a number that converts to "
                              + first.matrix->elementName());
        }
    }
}

} // namespace Quelt::Distributed
