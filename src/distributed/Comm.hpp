// Quelt::Distributed::Comm: a communicator of the job, MPI started on first use.
#pragma once

#include <mpi.h>

#include <stdexcept>
#include <string>

namespace Quelt::Distributed {

// MPI's status codes as exceptions naming the call that failed.
inline void check(int status, const char* what)
{
    if (status != MPI_SUCCESS) {
        char text[MPI_MAX_ERROR_STRING];
        int length = 0;
        MPI_Error_string(status, text, &length);
        throw std::runtime_error(std::string(what) + " failed: " + std::string(text, length));
    }
}

// MPI_THREAD_SERIALIZED suffices: the interpreter lock is released around each call, but only
// one thread at a time may be inside MPI, which the callers' lock-free sections cannot promise
// across threads, so calls from any thread but the one that started MPI are refused.
inline void ensureStarted()
{
    int started = 0;
    MPI_Initialized(&started);
    if (started) {
        int finished = 0;
        MPI_Finalized(&finished);
        if (finished) {
            throw std::runtime_error("MPI has already been finalized in this process");
        }
        return;
    }
    int provided = 0;
    check(MPI_Init_thread(nullptr, nullptr, MPI_THREAD_SERIALIZED, &provided), "MPI_Init_thread");
    if (provided < MPI_THREAD_SERIALIZED) {
        throw std::runtime_error("MPI provides thread level " + std::to_string(provided)
                                 + ", below the serialized level these calls need");
    }
}

inline void finishIfStarted()
{
    int started = 0, finished = 0;
    MPI_Initialized(&started);
    MPI_Finalized(&finished);
    if (started && !finished) {
        MPI_Finalize();
    }
}

class Comm {
public:
    explicit Comm(MPI_Comm handle) : m_handle(handle) {}

    static Comm world()
    {
        ensureStarted();
        return Comm(MPI_COMM_WORLD);
    }

    static Comm fromFortran(MPI_Fint handle)
    {
        ensureStarted();
        return Comm(MPI_Comm_f2c(handle));
    }

    int rank() const
    {
        int r = 0;
        check(MPI_Comm_rank(m_handle, &r), "MPI_Comm_rank");
        return r;
    }

    int size() const
    {
        int s = 0;
        check(MPI_Comm_size(m_handle, &s), "MPI_Comm_size");
        return s;
    }

    void barrier() const { check(MPI_Barrier(m_handle), "MPI_Barrier"); }

    Comm split(int color, int key) const
    {
        MPI_Comm out;
        check(MPI_Comm_split(m_handle, color, key, &out), "MPI_Comm_split");
        return Comm(out);
    }

    MPI_Fint fortranHandle() const { return MPI_Comm_c2f(m_handle); }
    MPI_Comm handle() const { return m_handle; }

private:
    MPI_Comm m_handle;
};

} // namespace Quelt::Distributed
