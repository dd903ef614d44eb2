#!/usr/bin/env bash
# Coverage-guided fuzzing of the readers of hostile bytes (tests/fuzz/), on a clang build with
# libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer in its own folder (build-fuzz, or
# FUZZ_BUILD). Each target runs for FUZZ_SECONDS (60) from its committed seeds
# (tests/fuzz/corpus/<target>/) into a working corpus build-fuzz/corpus/<target>/, which is kept
# between runs; a crash leaves its input in build-fuzz/artifacts/ and fails the run.
#   tools/fuzz.sh [target...]        fuzz the named targets (default: all)
#   tools/fuzz.sh --merge [target]   fold the working corpus into the committed seeds, minimised
# Extra libFuzzer flags go in FUZZ_FLAGS (e.g. FUZZ_FLAGS=-jobs=2).
set -euo pipefail
cd "$(dirname "$0")/.."

build="${FUZZ_BUILD:-build-fuzz}"
seconds="${FUZZ_SECONDS:-60}"
all=(declared_shape buffer_format)
merge=0
if [ "${1:-}" = "--merge" ]; then
    merge=1
    shift
fi
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=("${all[@]}")

python_arg=()
[ -z "${PYTHON:-}" ] || python_arg=(-DPython_EXECUTABLE="$PYTHON")
CXX="${FUZZ_CXX:-clang++}" cmake -S . -B "$build" -DQUELT_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    "${python_arg[@]}" > "$build.configure.log" || { cat "$build.configure.log"; exit 1; }
cmake --build "$build" -j "${JOBS:-2}" --target "${targets[@]/#/fuzz_}"

mkdir -p "$build/artifacts"
for target in "${targets[@]}"; do
    seeds="tests/fuzz/corpus/$target"
    work="$build/corpus/$target"
    mkdir -p "$work"
    if [ $merge -eq 1 ]; then
        # The committed seeds are replaced by the smallest set that covers them and the findings.
        merged="$build/merged/$target"
        rm -rf "$merged" && mkdir -p "$merged"
        "$build/tests/fuzz/fuzz_$target" -merge=1 "$merged" "$seeds" "$work"
        rm -f "$seeds"/* && cp "$merged"/* "$seeds"/
        echo "$target: $(ls "$seeds" | wc -l) seeds"
        continue
    fi
    echo "### fuzz_$target for ${seconds}s"
    "$build/tests/fuzz/fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$build/artifacts/$target-" ${FUZZ_FLAGS:-} "$work" "$seeds"
done
