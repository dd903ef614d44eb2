// Quelt::Distributed::Comm: a communicator of the job, and MPI's start, its end and the thread
// that may call it.
#pragma once

#include <mpi.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "distributed/Engine.hpp"

namespace Quelt::Distributed {

// MPI's status codes as exceptions naming the call that failed. The job's communicators return
// errors instead of aborting (set when MPI starts), so these are reached.
inline void check(int status, const char* what)
{
    if (status != MPI_SUCCESS) {
        char text[MPI_MAX_ERROR_STRING];
        int length = 0;
        MPI_Error_string(status, text, &length);
        throw std::runtime_error(std::string(what) + " failed: " + std::string(text, length));
    }
}

inline bool mpiRunning()
{
    int started = 0, finished = 0;
    MPI_Initialized(&started);
    MPI_Finalized(&finished);
    return started && !finished;
}

namespace detail {
inline std::thread::id mpiThread;
}

// The funneled level: every call comes from the thread that started MPI, which is what the
// interpreter lock released around each call cannot otherwise promise (another Python thread
// could enter MPI meanwhile), and ScaLAPACK's process grids are not thread-safe either. Calls
// from any other thread are refused before they reach MPI.
inline void requireMpiThread()
{
    if (std::this_thread::get_id() != detail::mpiThread) {
        throw std::runtime_error("quelt.distributed is called from a thread that did not start MPI: "
                                 "only the thread that called world() first may make its calls");
    }
}

// Called with the interpreter lock held, so two threads cannot race to start MPI.
inline void ensureStarted()
{
    int started = 0, finished = 0;
    MPI_Initialized(&started);
    MPI_Finalized(&finished);
    if (finished) {
        throw std::runtime_error("MPI has already been finalized in this process");
    }
    if (started) {
        // Started by someone else (mpi4py, say): the thread that first asks for world() is
        // taken as MPI's, and BLACS still needs its table.
        if (detail::mpiThread == std::thread::id()) {
            detail::mpiThread = std::this_thread::get_id();
            int me = 0, processes = 0;
            Cblacs_pinfo(&me, &processes);
        }
        requireMpiThread();
        return;
    }
    int provided = 0;
    check(MPI_Init_thread(nullptr, nullptr, MPI_THREAD_FUNNELED, &provided), "MPI_Init_thread");
    detail::mpiThread = std::this_thread::get_id();
    MPI_Comm_set_errhandler(MPI_COMM_WORLD, MPI_ERRORS_RETURN);
    if (provided < MPI_THREAD_FUNNELED) {
        throw std::runtime_error("MPI provides thread level " + std::to_string(provided)
                                 + ", below the funneled level these calls need");
    }
    // BLACS keeps its own process table, filled once here.
    int me = 0, processes = 0;
    Cblacs_pinfo(&me, &processes);
}

inline void finishIfStarted()
{
    if (mpiRunning()) {
        MPI_Finalize();
    }
}

// Owns what it was given by split; world and the communicators taken from a Fortran handle
// belong to someone else and are not freed.
class Comm {
public:
    Comm(MPI_Comm handle, bool owned) : m_handle(handle), m_owned(owned) {}
    Comm(const Comm&) = delete;
    Comm& operator=(const Comm&) = delete;
    ~Comm()
    {
        if (m_owned && mpiRunning()) {
            MPI_Comm_free(&m_handle);
        }
    }

    static std::shared_ptr<Comm> world()
    {
        ensureStarted();
        return std::make_shared<Comm>(MPI_COMM_WORLD, false);
    }

    static std::shared_ptr<Comm> fromFortran(MPI_Fint handle)
    {
        ensureStarted();
        return std::make_shared<Comm>(MPI_Comm_f2c(handle), false);
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

    std::shared_ptr<Comm> split(int color, int key) const
    {
        MPI_Comm out = MPI_COMM_NULL;
        check(MPI_Comm_split(m_handle, color, key, &out), "MPI_Comm_split");
        MPI_Comm_set_errhandler(out, MPI_ERRORS_RETURN);
        return std::make_shared<Comm>(out, true);
    }

    // The same processes in the same order: what moving a matrix between two grids needs.
    bool sameProcesses(const Comm& other) const
    {
        int result = MPI_UNEQUAL;
        check(MPI_Comm_compare(m_handle, other.m_handle, &result), "MPI_Comm_compare");
        return result == MPI_IDENT || result == MPI_CONGRUENT;
    }

    MPI_Fint fortranHandle() const { return MPI_Comm_c2f(m_handle); }
    MPI_Comm handle() const { return m_handle; }

private:
    MPI_Comm m_handle;
    bool m_owned;
};

} // namespace Quelt::Distributed
