#!/usr/bin/env bash
# The benchmark behind `make bench`: builds queltcore, its ordered-chain copy, the quelt package,
# queltfloor and the C++ floor in build-bench (Release), measures everything in one run and writes
# docs/benchmarks.md and docs/benchmarks.png. Raw results stay in build-bench/bench-results.
#
# JOBS (default 2) sets the build's parallelism; PYTHON names the CPython 3.7 to build for.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build-bench"
results="$build/bench-results"
bench="$root/benchmarks"
started=$(date +%s)

"$bench/install-deps.sh"

# Every BLAS call measured here runs on one thread, in every process: the latencies are those of
# one call, and the throughputs are compared with one core's peak. OPENBLAS_CORETYPE and
# OPENBLAS_L2_SIZE, which this machine sets because older OpenBLAS builds misbehave on its CPU,
# pass through unchanged to queltcore, the C++ floor, NumPy and SciPy alike, so that all of
# them run the same kernels of the same library.
export OPENBLAS_NUM_THREADS=1

echo "== building in $build"
mkdir -p "$build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DQUELT_BUILD_BENCHMARKS=ON \
    ${PYTHON:+-DPython_EXECUTABLE="$PYTHON"} > "$build.configure.log" \
    || { cat "$build.configure.log"; exit 1; }
cmake --build "$build" -j "${JOBS:-2}" --target queltcore queltcore_chain quelt_native quelt_package \
    queltfloor quelt_floor
built=$(date +%s)

python37="$(cat "$build/python-interpreter")"
floor="$build/benchmarks/quelt_floor"
rm -rf "$results"
mkdir -p "$results"
cat /proc/loadavg > "$results/load-start"
/usr/bin/python3 "$bench/make_models.py" "$results/models"

module() { PYTHONPATH="$build:$build/benchmarks" "$python37" "$bench/harness.py" "$@"; }
chain() { PYTHONPATH="$build/ordered-chain:$build/benchmarks" "$python37" "$bench/harness.py" "$@"; }
peers() { PYTHONPATH="$bench" /usr/bin/python3 "$bench/peers.py" "$@"; }
cpp() {
    local out=$1
    shift
    "$floor" --models="$results/models" --benchmark_out="$results/$out" --benchmark_out_format=json "$@" \
        > "$results/${out%.json}.log" 2>&1
}

# The model's loader writes its progress lines to standard output; they go to the logs.
echo "== latency: queltcore against queltfloor"
module latency "$results/latency-module.json" "$results/models" > "$results/latency-module.log"
echo "== latency: the ordered chain against queltfloor"
chain chain "$results/latency-chain.json" > "$results/latency-chain.log"
echo "== latency: C++ floor, this core's peak"
cpp cpp-latency.json --benchmark_filter='^(latency|model/tiny|peak)/' --benchmark_min_time=0.01 \
    --benchmark_repetitions=3 --benchmark_report_aggregates_only=true
echo "== latency: NumPy and SciPy"
peers latency "$results/latency-peers.json"

# At large sizes queltcore is compared with the direct call inside its own process (queltfloor's
# timed loops, interleaved block by block); the C++ floor's own figures are shown beside.
echo "== throughput: C++ floor"
cpp cpp-throughput.json --benchmark_filter='^(throughput|model/compute)/' --benchmark_min_time=0.05 \
    --benchmark_repetitions=3 --benchmark_report_aggregates_only=true
echo "== throughput: queltcore against the direct calls"
module throughput "$results/throughput-module.json" "$results/models" > "$results/throughput-module.log"
echo "== throughput: NumPy and SciPy"
peers throughput "$results/throughput-peers.json"
echo "== quelt: data exchange and quelt.Session against memcpy and the direct calls"
module quelt "$results/quelt-module.json" "$results/models" > "$results/quelt-module.log"
echo "== serving: quelt.Session's stop bookkeeping, outputs into the caller's buffer, cancellation"
module serving "$results/serving-module.json" "$results/models" > "$results/serving-module.log"
echo "== conversion: quelt's conversions of foreign buffers against C++ loops and memcpy"
module conversion "$results/conversion-module.json" > "$results/conversion-module.log"
echo "== threads: quelt's operations from two threads, another thread's pauses"
module threads "$results/threads-module.json" > "$results/threads-module.log"
# quelt.distributed, where it was built: jobs of one and two processes of one BLAS thread each,
# the one-process job unbound so that its two-thread OpenBLAS call can use both cores.
if cmake --build "$build" -j "${JOBS:-2}" --target quelt_distributed quelt_distributed_floor \
        > "$results/distributed-build.log" 2>&1; then
    echo "== quelt.distributed: jobs of 1 and 2 processes against pdgemm from C++ and the serial calls"
    mpirun=(env OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1 mpirun --oversubscribe --allow-run-as-root)
    for processes in 1 2; do
        binding=()
        [ "$processes" -ne 1 ] || binding=(--bind-to none)
        "${mpirun[@]}" "${binding[@]}" -n "$processes" "$build/benchmarks/quelt_distributed_floor" \
            > "$results/distributed-floor-$processes.json"
        PYTHONPATH="$build" "${mpirun[@]}" "${binding[@]}" -n "$processes" "$python37" -m quelt.distributed \
            "$bench/distributed.py" "$results/distributed-$processes.json"
    done
else
    echo "== quelt.distributed: not built here (no MPI or ScaLAPACK), skipped"
fi
cat /proc/loadavg > "$results/load-end"

measured=$(date +%s)
echo "installing and building $((built - started)) s, measuring $((measured - built)) s" > "$results/durations"
/usr/bin/python3 "$bench/report.py" "$results" "$root/docs"
echo "== wrote docs/benchmarks.md and docs/benchmarks.png in $(($(date +%s) - started)) s"
