#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, then fetches ONNX Runtime into
# deps/; quick when all are present. With --fuzz, clang and its libFuzzer runtime as well
# (`make fuzz`).
set -euo pipefail

packages=(
    cmake g++ make
    libopenblas-dev liblapacke-dev
    pybind11-dev libboost-dev libgtest-dev
    python3-onnx libonnx-testdata valgrind locales
    # quelt.distributed: MPI and ScaLAPACK for it
    openmpi-bin libopenmpi-dev libscalapack-openmpi-dev pkg-config
)
# npm only fetches the ONNX Runtime library; any npm on PATH will do.
command -v npm > /dev/null || packages+=(npm)
[ "${1:-}" != "--fuzz" ] || packages+=(clang libclang-rt-14-dev)

"$(dirname "$0")/apt-install.sh" "${packages[@]}"

# The runtime's StringNormalizer builds an en_US.UTF-8 locale; without it the conformance cases
# of that operator cannot load. Debian ships the locale's sources, not the compiled locale.
if ! locale -a 2> /dev/null | grep -qix 'en_US\.utf-\?8'; then
    echo "generating the en_US.UTF-8 locale"
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo localedef -i en_US -f UTF-8 en_US.UTF-8
fi

# A build pointed at another ONNX Runtime needs no download.
if [ -z "${ONNXRUNTIME_ROOT:-}" ]; then
    "$(dirname "$0")/fetch-onnxruntime.sh"
fi
