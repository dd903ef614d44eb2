// Quelt::Distributed::Grid: a process grid over a communicator, as ScaLAPACK contexts.
#pragma once

#include <cmath>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

#include "distributed/Comm.hpp"

namespace Quelt::Distributed {

// The grid's processes in row-major order: the process of rank r in the communicator sits at
// (r / cols, r % cols), so rank 0 holds (0, 0).
class Grid {
public:
    Grid(std::shared_ptr<Comm> comm, int rows, int cols) : m_comm(std::move(comm)), m_rows(rows), m_cols(cols)
    {
        const int size = m_comm->size();
        if (rows < 1 || cols < 1 || long(rows) * long(cols) != size) {
            throw std::runtime_error("a grid of " + std::to_string(rows) + " x " + std::to_string(cols)
                                     + " processes does not fit a communicator of " + std::to_string(size)
                                     + ": rows times columns must equal its size");
        }
        m_context = makeContext(rows, cols);
        m_whole = makeContext(1, size);
        int r = 0, c = 0;
        Cblacs_gridinfo(m_context, &r, &c, &m_row, &m_col);
    }
    Grid(const Grid&) = delete;
    Grid& operator=(const Grid&) = delete;
    ~Grid()
    {
        if (!mpiRunning()) {
            return;
        }
        Cblacs_gridexit(m_context);
        Cblacs_gridexit(m_whole);
        for (const auto& [root, context] : m_roots) {
            if (context >= 0) {
                Cblacs_gridexit(context);
            }
        }
    }

    // The most nearly square factorisation, rows <= cols.
    static std::pair<int, int> defaultShape(int size)
    {
        int rows = int(std::sqrt(double(size)));
        while (rows > 1 && size % rows != 0) {
            --rows;
        }
        return {rows, size / rows};
    }

    const std::shared_ptr<Comm>& comm() const { return m_comm; }
    int rows() const { return m_rows; }
    int cols() const { return m_cols; }
    int row() const { return m_row; }
    int col() const { return m_col; }
    int context() const { return m_context; }
    // Every process of the communicator in one row: the context that a move between grids, or
    // between the grid and one process, runs in.
    int wholeContext() const { return m_whole; }

    // A grid of the root process alone (-1 on every other process), made collectively on
    // first use for that root and kept.
    int rootContext(int root)
    {
        auto found = m_roots.find(root);
        if (found != m_roots.end()) {
            return found->second;
        }
        int context = Csys2blacs_handle(m_comm->handle());
        Cblacs_gridmap(&context, &root, 1, 1, 1);
        int r = 0, c = 0, myRow = -1, myCol = -1;
        Cblacs_gridinfo(context, &r, &c, &myRow, &myCol);
        if (myRow < 0) {
            context = -1;
        }
        m_roots.emplace(root, context);
        return context;
    }

private:
    int makeContext(int rows, int cols) const
    {
        int context = Csys2blacs_handle(m_comm->handle());
        Cblacs_gridinit(&context, "Row", rows, cols);
        return context;
    }

    std::shared_ptr<Comm> m_comm;
    int m_rows, m_cols;
    int m_row = -1, m_col = -1;
    int m_context = -1, m_whole = -1;
    std::map<int, int> m_roots;
};

} // namespace Quelt::Distributed
