// The ScaLAPACK, PBLAS and BLACS boundary: the prototypes of the routines called (the packages
// ship no header for them) and one thin overload per element type over each, generated from the
// one element list below. Every count, index and descriptor entry is a 32-bit int, as the
// engine is built.
#pragma once

#include <complex>
#include <cstddef>

#include <mpi.h>

// (C++ type, routine letter, element name, MPI datatype), in the order of the core's classes.
#define QUELT_DISTRIBUTED_ELEMENTS(X)                                                              \
    X(float, s, "float32", MPI_FLOAT)                                                              \
    X(double, d, "float64", MPI_DOUBLE)                                                            \
    X(std::complex<float>, c, "complex64", MPI_C_FLOAT_COMPLEX)                                    \
    X(std::complex<double>, z, "complex128", MPI_C_DOUBLE_COMPLEX)

// A descriptor: type, context, rows, columns, row block, column block, source row, source
// column, leading dimension of the local array.
using QueltDescriptor = int[9];

extern "C" {
int Csys2blacs_handle(MPI_Comm comm);
void Cblacs_pinfo(int* me, int* processes);
void Cblacs_gridinit(int* context, const char* order, int rows, int cols);
void Cblacs_gridmap(int* context, int* map, int mapLeading, int rows, int cols);
void Cblacs_gridinfo(int context, int* rows, int* cols, int* row, int* col);
void Cblacs_gridexit(int context);
int numroc_(const int* n, const int* block, const int* process, const int* source, const int* processes);

#define QUELT_DISTRIBUTED_PROTOTYPES(T, L, name, mpiType)                                          \
    void p##L##gemm_(const char* ta, const char* tb, const int* m, const int* n, const int* k,     \
                     const T* alpha, const T* a, const int* ia, const int* ja, const int* desca,   \
                     const T* b, const int* ib, const int* jb, const int* descb, const T* beta,    \
                     T* c, const int* ic, const int* jc, const int* descc);                        \
    void p##L##gemv_(const char* t, const int* m, const int* n, const T* alpha, const T* a,        \
                     const int* ia, const int* ja, const int* desca, const T* x, const int* ix,    \
                     const int* jx, const int* descx, const int* incx, const T* beta, T* y,        \
                     const int* iy, const int* jy, const int* descy, const int* incy);             \
    void p##L##gels_(const char* t, const int* m, const int* n, const int* nrhs, T* a,             \
                     const int* ia, const int* ja, const int* desca, T* b, const int* ib,          \
                     const int* jb, const int* descb, T* work, const int* lwork, int* info,        \
                     size_t tLength);                                                              \
    void p##L##gemr2d_(const int* m, const int* n, const T* a, const int* ia, const int* ja,       \
                       const int* desca, T* b, const int* ib, const int* jb, const int* descb,     \
                       const int* context);                                                        \
    void p##L##scal_(const int* n, const T* alpha, T* x, const int* ix, const int* jx,             \
                     const int* descx, const int* incx);                                           \
    void p##L##axpy_(const int* n, const T* alpha, const T* x, const int* ix, const int* jx,       \
                     const int* descx, const int* incx, T* y, const int* iy, const int* jy,        \
                     const int* descy, const int* incy);                                           \
    void p##L##copy_(const int* n, const T* x, const int* ix, const int* jx, const int* descx,     \
                     const int* incx, T* y, const int* iy, const int* jy, const int* descy,        \
                     const int* incy);                                                             \
    void p##L##swap_(const int* n, T* x, const int* ix, const int* jx, const int* descx,           \
                     const int* incx, T* y, const int* iy, const int* jy, const int* descy,        \
                     const int* incy);
QUELT_DISTRIBUTED_ELEMENTS(QUELT_DISTRIBUTED_PROTOTYPES)
#undef QUELT_DISTRIBUTED_PROTOTYPES

// The dot products are the one irregular family: complex types have an unconjugated and a
// conjugated one.
#define QUELT_DISTRIBUTED_DOT(T, name)                                                             \
    void name(const int* n, T* dot, const T* x, const int* ix, const int* jx, const int* descx,    \
              const int* incx, const T* y, const int* iy, const int* jy, const int* descy,         \
              const int* incy);
QUELT_DISTRIBUTED_DOT(float, psdot_)
QUELT_DISTRIBUTED_DOT(double, pddot_)
QUELT_DISTRIBUTED_DOT(std::complex<float>, pcdotu_)
QUELT_DISTRIBUTED_DOT(std::complex<float>, pcdotc_)
QUELT_DISTRIBUTED_DOT(std::complex<double>, pzdotu_)
QUELT_DISTRIBUTED_DOT(std::complex<double>, pzdotc_)
#undef QUELT_DISTRIBUTED_DOT
}

namespace Quelt::Distributed::Engine {

// Every operand starts at global row and column 1, the only position this layer uses.
inline const int one = 1;

#define QUELT_DISTRIBUTED_THIN(T, L, name, mpiType)                                                \
    inline void gemm(int m, int n, int k, T alpha, const T* a, const int* da, const T* b,          \
                     const int* db, T beta, T* c, const int* dc)                                   \
    {                                                                                              \
        p##L##gemm_("N", "N", &m, &n, &k, &alpha, a, &one, &one, da, b, &one, &one, db, &beta, c,  \
                    &one, &one, dc);                                                               \
    }                                                                                              \
    inline void gemv(int m, int n, T alpha, const T* a, const int* da, const T* x, const int* dx,  \
                     T beta, T* y, const int* dy)                                                  \
    {                                                                                              \
        p##L##gemv_("N", &m, &n, &alpha, a, &one, &one, da, x, &one, &one, dx, &one, &beta, y,     \
                    &one, &one, dy, &one);                                                         \
    }                                                                                              \
    inline int gels(int m, int n, int nrhs, T* a, const int* da, T* b, const int* db, T* work,     \
                    int lwork)                                                                     \
    {                                                                                              \
        int info = 0;                                                                              \
        p##L##gels_("N", &m, &n, &nrhs, a, &one, &one, da, b, &one, &one, db, work, &lwork, &info, \
                    1);                                                                            \
        return info;                                                                               \
    }                                                                                              \
    inline void gemr2d(int m, int n, const T* a, const int* da, T* b, const int* db, int context)  \
    {                                                                                              \
        p##L##gemr2d_(&m, &n, a, &one, &one, da, b, &one, &one, db, &context);                     \
    }                                                                                              \
    inline void scal(int n, T alpha, T* x, const int* dx) { p##L##scal_(&n, &alpha, x, &one, &one, dx, &one); } \
    inline void axpy(int n, T alpha, const T* x, const int* dx, T* y, const int* dy)               \
    {                                                                                              \
        p##L##axpy_(&n, &alpha, x, &one, &one, dx, &one, y, &one, &one, dy, &one);                 \
    }                                                                                              \
    inline void copy(int n, const T* x, const int* dx, T* y, const int* dy)                        \
    {                                                                                              \
        p##L##copy_(&n, x, &one, &one, dx, &one, y, &one, &one, dy, &one);                         \
    }                                                                                              \
    inline void swap(int n, T* x, const int* dx, T* y, const int* dy)                              \
    {                                                                                              \
        p##L##swap_(&n, x, &one, &one, dx, &one, y, &one, &one, dy, &one);                         \
    }                                                                                              \
    inline MPI_Datatype mpiTypeOf(const T*) { return mpiType; }
QUELT_DISTRIBUTED_ELEMENTS(QUELT_DISTRIBUTED_THIN)
#undef QUELT_DISTRIBUTED_THIN

// The products the vector's owners hold once PBLAS returns; everyone else holds nothing defined.
#define QUELT_DISTRIBUTED_THIN_DOT(T, name, routine)                                               \
    inline T name(int n, const T* x, const int* dx, const T* y, const int* dy)                     \
    {                                                                                              \
        T result{};                                                                                \
        routine(&n, &result, x, &one, &one, dx, &one, y, &one, &one, dy, &one);                    \
        return result;                                                                             \
    }
QUELT_DISTRIBUTED_THIN_DOT(float, dot, psdot_)
QUELT_DISTRIBUTED_THIN_DOT(double, dot, pddot_)
QUELT_DISTRIBUTED_THIN_DOT(std::complex<float>, dot, pcdotu_)
QUELT_DISTRIBUTED_THIN_DOT(std::complex<float>, hdot, pcdotc_)
QUELT_DISTRIBUTED_THIN_DOT(std::complex<double>, dot, pzdotu_)
QUELT_DISTRIBUTED_THIN_DOT(std::complex<double>, hdot, pzdotc_)
#undef QUELT_DISTRIBUTED_THIN_DOT

} // namespace Quelt::Distributed::Engine
