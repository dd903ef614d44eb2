#!/usr/bin/env bash
# The whole test suite on a build with AddressSanitizer and UndefinedBehaviorSanitizer, in its
# own folder (build-sanitize, or SANITIZE_BUILD). The Python tests run under
# build-sanitize/sanitized-python, which loads the sanitizer runtime first; the same launcher
# serves a longer random-call run by hand:
#   PYTHONPATH=build-sanitize build-sanitize/sanitized-python tests/python/test_random_calls.py \
#       --seed 7 --count 200000
set -euo pipefail
cd "$(dirname "$0")/.."

build="${SANITIZE_BUILD:-build-sanitize}"
jobs="${JOBS:-2}"
python_arg=()
[ -z "${PYTHON:-}" ] || python_arg=(-DPython_EXECUTABLE="$PYTHON")

cmake -S . -B "$build" -DQUELT_SANITIZE=ON "${python_arg[@]}" ${CMAKE_ARGS:-} > "$build.configure.log" \
    || { cat "$build.configure.log"; exit 1; }
cmake --build "$build" -j "$jobs"
ctest --test-dir "$build" --output-on-failure -j "$jobs"
