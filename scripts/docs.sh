#!/usr/bin/env bash
# Builds the documentation site into docs/_build/html with Sphinx, every warning
# an error. The API reference is read from the installed module and the stubs,
# so install the package first (pip install .) and the test requirements, which
# bring Sphinx and its extensions. Needs no network.
#
#   scripts/docs.sh            the HTML site
#   scripts/docs.sh -- ARGS    passes ARGS on to sphinx-build
set -euo pipefail
cd "$(dirname "$0")/.."

python=${PYTHON:-python3}
extra=()
if [ "${1:-}" = "--" ]; then
  shift
  extra=("$@")
fi
rm -rf docs/_build
"$python" -m sphinx -W --keep-going -q -b html -d docs/_build/doctrees docs docs/_build/html \
  "${extra[@]}"
echo "docs: docs/_build/html/index.html"
