#!/usr/bin/env bash
# Installs the Debian packages the benchmark needs beyond the build's own (tools/install-deps.sh):
# Google Benchmark for the C++ floor, NumPy and SciPy as the peers, threadpoolctl to name the
# BLAS they load, matplotlib for the plot, onnx to write the models. Quick when all are present.
set -euo pipefail

packages=(
    libbenchmark-dev
    python3-numpy python3-scipy python3-threadpoolctl python3-matplotlib python3-onnx
)

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
