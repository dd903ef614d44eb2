// The floor of quelt.distributed's gemm: pdgemm called from C++ on the grid and blocks that
// qd.gemm uses (a near-square grid of every process, 64 x 64 blocks, 2048 x 2048 float64), one
// call per round after a barrier. Rank 0 prints the median seconds as JSON.
#include <algorithm>
#include <cstdio>
#include <vector>

#include "distributed/DistMatrix.hpp"

using namespace Quelt::Distributed;

int main()
{
    ensureStarted();
    {
        auto comm = Comm::world();
        const auto [rows, cols] = Grid::defaultShape(comm->size());
        auto grid = std::make_shared<Grid>(comm, rows, cols);
        const int n = 2048, rounds = 5;
        DistMatrix A(grid, n, n, 1, 64, 64), X(grid, n, n, 1, 64, 64), Y(grid, n, n, 1, 64, 64);
        for (const DistMatrix* m : {&A, &X}) {
            const auto& local = std::get<Quelt::Matrix<double>>(m->local());
            for (size_t k = 0; k < local.numel(); ++k) {
                local.get()[k] = double((7 * k) % 1009 + 1) / 1010.0;
            }
        }
        std::vector<double> times;
        for (int r = 0; r < rounds; ++r) {
            comm->barrier();
            const double start = MPI_Wtime();
            Engine::gemm(n, n, n, 1.0, A.data<double>(), A.desc(), X.data<double>(), X.desc(), 0.0,
                         Y.data<double>(), Y.desc());
            comm->barrier();
            times.push_back(MPI_Wtime() - start);
        }
        std::sort(times.begin(), times.end());
        if (comm->rank() == 0) {
            std::printf("{\"processes\": %d, \"pdgemm\": %.9g}\n", comm->size(), times[times.size() / 2]);
        }
    }
    finishIfStarted();
    return 0;
}
