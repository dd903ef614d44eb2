#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, then fetches ONNX Runtime into
# deps/; quick when all are present.
set -euo pipefail

packages=(
    cmake g++ make
    libopenblas-dev liblapacke-dev
    pybind11-dev libboost-dev libgtest-dev
    python3-onnx libonnx-testdata valgrind
)
# npm only fetches the ONNX Runtime library; any npm on PATH will do.
command -v npm > /dev/null || packages+=(npm)

"$(dirname "$0")/apt-install.sh" "${packages[@]}"

# A build pointed at another ONNX Runtime needs no download.
if [ -z "${ONNXRUNTIME_ROOT:-}" ]; then
    "$(dirname "$0")/fetch-onnxruntime.sh"
fi
