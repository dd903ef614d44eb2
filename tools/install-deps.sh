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

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -qq
    $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# A build pointed at another ONNX Runtime needs no download.
if [ -z "${ONNXRUNTIME_ROOT:-}" ]; then
    "$(dirname "$0")/fetch-onnxruntime.sh"
fi
