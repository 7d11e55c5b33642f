#!/usr/bin/env bash
# The source distribution: built, checked, turned into the wheel, and that
# wheel tested in a fresh virtual environment.
#
#   scripts/sdist.sh           both stages below
#   scripts/sdist.sh --build   builds dist/ostrel-VERSION.tar.gz, checks what it
#                              holds, and builds the wheel from it into dist/
#                              with pip, in an isolated build environment that
#                              gets the build-system requirements from the
#                              index, as a user's `pip install ostrel-*.tar.gz`
#                              would (the test command audits and installs
#                              that wheel, so the extension is compiled once)
#   scripts/sdist.sh --test    installs the test requirements and that wheel
#                              in a fresh virtual environment (build/sdist/venv)
#                              and runs the pytest suite that the source
#                              distribution carries, unpacked into
#                              build/sdist/, against that install
#
# The source distribution must hold every tracked file that the build and the
# stubs need (CMakeLists.txt, cmake/, src/, stubs/) besides the metadata, the
# licence and the README, and nothing of a build tree.
set -euo pipefail
cd "$(dirname "$0")/.."

build=0
test_stage=0
case "${1:-}" in
  "") build=1 test_stage=1 ;;
  --build) build=1 ;;
  --test) test_stage=1 ;;
  -h | --help)
    sed -n '2,22p' "$0" | sed 's/^# \{0,1\}//'
    exit 0
    ;;
  *)
    echo "sdist.sh: unknown argument '$1' (see --help)" >&2
    exit 2
    ;;
esac

python=${PYTHON:-python3}
out=build/sdist
mkdir -p dist

# Runs "$@" with its output in $out/$log, shown (less pip's notes on its
# configured indexes) when it fails.
logged() {
  local log=$out/$1
  shift
  "$@" >>"$log" 2>&1 || {
    grep -v '^WARNING: Location' "$log" | tail -n 30
    echo "sdist.sh: $* failed (log in $log)" >&2
    exit 1
  }
}

if [ "$build" -eq 1 ]; then
  rm -rf "$out" dist/ostrel-*.tar.gz dist/ostrel-*.whl
  mkdir -p "$out"
  logged build.log "$python" -m build --sdist --no-isolation --outdir dist .
  archive=$(echo dist/ostrel-*.tar.gz)
  needed=$(git ls-files -- CMakeLists.txt pyproject.toml LICENSE README.md cmake src stubs)
  "$python" - "$archive" "$needed" <<'EOF'
import re
import sys
import tarfile

archive, needed = sys.argv[1], sys.argv[2].split()
with tarfile.open(archive) as tar:
    names = {name.split("/", 1)[1] for name in tar.getnames() if "/" in name}
missing = sorted(set(needed) - names)
stray = sorted(
    name
    for name in names
    if re.match(r"(build|dist|\.ci|\.git|docs/_build)(/|$)", name)
    or re.search(r"(^|/)(__pycache__|\.pytest_cache|\.hypothesis)(/|$)|\.(so|o|pyc)$", name)
)
if missing or stray:
    sys.exit(f"sdist.sh: {archive} lacks {missing} and holds {stray}")
print(f"   {archive}: {len(names)} files, none of a build tree")
EOF
  echo "   building the wheel from it (isolated build environment)"
  logged wheel.log "$python" -m pip wheel --no-deps --disable-pip-version-check -w dist "$archive"
fi

if [ "$test_stage" -eq 1 ]; then
  archive=$(echo dist/ostrel-*.tar.gz)
  wheel=$(echo dist/ostrel-*.whl)
  if [ ! -f "$archive" ] || [ ! -f "$wheel" ]; then
    echo "sdist.sh: no source distribution and wheel in dist/ (run scripts/sdist.sh --build)" >&2
    exit 1
  fi
  rm -rf "$out/venv" "$out"/ostrel-*/
  mkdir -p "$out"
  echo "   installing $wheel in a fresh virtual environment"
  "$python" -m venv "$out/venv"
  venv_python=$PWD/$out/venv/bin/python
  logged install.log "$venv_python" -m pip install -q --disable-pip-version-check \
    -r requirements-test.txt
  logged install.log "$venv_python" -m pip install -q --disable-pip-version-check --no-deps "$wheel"

  tar -xzf "$archive" -C "$out"
  cd "$out"/ostrel-*/
  "$venv_python" -c '
import sys, ostrel
if not ostrel.__file__.startswith(sys.prefix):
    sys.exit(f"sdist.sh: imported {ostrel.__file__}, not the install in {sys.prefix}")
'
  echo "   Python tests (pytest) from the source distribution"
  "$venv_python" -m pytest -q -p no:cacheprovider
fi
