#!/usr/bin/env bash
# Installs what the tests need, then runs every check: formatting, the source
# distribution's contents and the stable-ABI audit of the wheel built from it,
# the GoogleTest suite of the model core, the pytest suite against that wheel
# installed (every code block of the README and the documentation included),
# the documentation site built with warnings as errors, the pytest suite that
# the source distribution carries against that wheel in a fresh virtual
# environment, both suites again under AddressSanitizer and
# UndefinedBehaviorSanitizer, a bounded fuzzing run, and both suites again on
# 32-bit ARM (armhf) under emulation. Exits non-zero on the first failure.
# `--quick` stops after the plain test suites.
set -euo pipefail
cd "$(dirname "$0")/.."

quick=0
[ "${1:-}" = "--quick" ] && quick=1

python=${PYTHON:-python3}

if [ ! -f /usr/include/gtest/gtest.h ]; then
  echo "== installing GoogleTest (Debian package libgtest-dev)"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq libgtest-dev >/dev/null
fi

echo "== installing test requirements"
"$python" -m pip install -q -r requirements-test.txt

echo "== formatting (ruff, clang-format)"
"$python" -m ruff check .
"$python" -m ruff format --check .
git ls-files -- '*.cpp' '*.hpp' | grep -v '^src/core/config/unicode_tables.hpp$' |
  xargs clang-format --dry-run -Werror

# The wheel is built from the source distribution, so that every suite below
# tests what the source distribution builds; the extension is compiled once.
echo "== building the source distribution, the wheel from it, and auditing its stable ABI"
rm -rf dist
bash scripts/sdist.sh --build
abi3audit --strict --verbose dist/*.whl
"$python" -m pip install -q --force-reinstall --no-deps dist/*.whl

echo "== model core tests (GoogleTest)"
cmake -S . -B build/core-tests -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DOSTREL_BUILD_TESTS=ON -DOSTREL_BUILD_EXTENSION=OFF >/dev/null
cmake --build build/core-tests
build/core-tests/ostrel_core_tests --gtest_brief=1

echo "== Python tests (pytest)"
"$python" -m pytest -q

[ "$quick" -eq 1 ] && exit 0

echo "== documentation site (Sphinx, warnings as errors)"
bash scripts/docs.sh

echo "== the source distribution's wheel, installed in a fresh virtual environment and tested"
bash scripts/sdist.sh --test

echo "== sanitizers"
bash scripts/sanitize.sh

echo "== fuzzing (bounded)"
bash scripts/fuzz.sh

echo "== 32-bit ARM (armhf, emulated)"
bash scripts/armhf.sh
