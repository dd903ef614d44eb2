#!/usr/bin/env bash
# Installs the Debian packages the benchmark needs beyond the build's own (tools/install-deps.sh):
# Google Benchmark for the C++ floor, NumPy and SciPy as the peers, threadpoolctl to name the
# BLAS they load, matplotlib for the plot, onnx to write the models. Quick when all are present.
set -euo pipefail

packages=(
    libbenchmark-dev
    python3-numpy python3-scipy python3-threadpoolctl python3-matplotlib python3-onnx
)

"$(dirname "$0")/../tools/apt-install.sh" "${packages[@]}"
