#!/usr/bin/env bash
# Builds the source distribution, checks what it holds, installs it in a fresh
# virtual environment (pip builds the wheel from it, as a user's pip would) and
# runs the pytest suite that the source distribution carries against that
# install. Everything goes to build/sdist/.
#
# The source distribution must hold every tracked file that the build and the
# stubs need (CMakeLists.txt, cmake/, src/, stubs/) besides the metadata, the
# licence and the README, and nothing of a build tree.
set -euo pipefail
cd "$(dirname "$0")/.."

python=${PYTHON:-python3}
out=build/sdist
rm -rf "$out"
mkdir -p "$out"

echo "   building"
"$python" -m build --sdist --no-isolation --outdir "$out" . >"$out/build.log" 2>&1 || {
  tail -n 30 "$out/build.log"
  exit 1
}
archive=$(echo "$out"/ostrel-*.tar.gz)

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

echo "   installing in a fresh virtual environment"
"$python" -m venv "$out/venv"
venv_python=$PWD/$out/venv/bin/python
# pip's output goes to build/sdist/install.log, shown when it fails.
for what in "-r requirements-test.txt" "$archive"; do
  # shellcheck disable=SC2086
  "$venv_python" -m pip install -q --disable-pip-version-check $what >>"$out/install.log" 2>&1 || {
    grep -v '^WARNING: Location' "$out/install.log" | tail -n 30
    echo "sdist.sh: installing $what failed (log in $out/install.log)" >&2
    exit 1
  }
done

tar -xzf "$archive" -C "$out"
tree=$(echo "$out"/ostrel-*/)
cd "$tree"
"$venv_python" -c '
import sys, ostrel
if not ostrel.__file__.startswith(sys.prefix):
    sys.exit(f"sdist.sh: imported {ostrel.__file__}, not the install in {sys.prefix}")
'
echo "   Python tests (pytest) from the source distribution"
"$venv_python" -m pytest -q -p no:cacheprovider
