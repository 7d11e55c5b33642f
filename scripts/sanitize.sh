#!/usr/bin/env bash
# Builds the model core and the extension with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs the GoogleTest suite and the whole pytest
# suite under them. Any report aborts the run with a non-zero exit.
set -euo pipefail
cd "$(dirname "$0")/.."

python=${PYTHON:-python3}
build=build/sanitize

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DOSTREL_SANITIZE=address,undefined -DOSTREL_BUILD_TESTS=ON \
  -DPython_EXECUTABLE="$(command -v "$python")" >/dev/null
cmake --build "$build"

export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
echo "== model core tests under ASan and UBSan"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1 \
  "$build/ostrel_core_tests" --gtest_brief=1

# The interpreter itself is not instrumented: the runtime must be loaded
# first (with the C++ runtime beside it, so that its exception interceptors
# find what they wrap), and its leak report at exit would list the
# interpreter's own deliberate leaks, so leak checking there is left to the
# leak tests.
echo "== Python tests under ASan and UBSan"
OSTREL_SANITIZED=1 \
  LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)" \
  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
  PYTHONPATH="$PWD/$build" \
  "$python" -m pytest -q -p no:cacheprovider
