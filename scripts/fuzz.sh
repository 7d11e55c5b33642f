#!/usr/bin/env bash
# Coverage-guided fuzzing of the module's Python surface (tests/fuzz/).
#
#   scripts/fuzz.sh                   bounded run of about 60 s (the CI step)
#   scripts/fuzz.sh --long [SECONDS]  long run (default 3600 s); its corpus is
#                                     kept in build/fuzz/corpus across runs
#   scripts/fuzz.sh --replay FILE...  runs saved inputs once (crash files, seeds)
#   scripts/fuzz.sh ... -- FLAGS      passes FLAGS on to libFuzzer
#
# Builds the extension with clang, libFuzzer's coverage instrumentation and
# AddressSanitizer + UndefinedBehaviorSanitizer into build/fuzz, then runs the
# atheris harness with atheris' sanitizer runtime preloaded. Without a usable
# clang (and no root to install one) it falls back to the normal build and
# Python-level coverage only, and says so (OSTREL_FUZZ_PLAIN=1 forces that).
# The committed corpus is never written: bounded runs fuzz a scratch copy.
# Exits non-zero on any finding; the failing input is saved under
# build/fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."

python=${PYTHON:-python3}
mode=bounded
seconds=60
inputs=()
extra=()
while [ $# -gt 0 ]; do
  case "$1" in
    --long)
      mode=long
      seconds=3600
      if [ $# -gt 1 ] && [[ "$2" =~ ^[0-9]+$ ]]; then
        seconds=$2
        shift
      fi
      ;;
    --replay)
      mode=replay
      shift
      while [ $# -gt 0 ] && [ "$1" != "--" ]; do
        inputs+=("$(realpath "$1")")
        shift
      done
      continue
      ;;
    --)
      shift
      extra=("$@")
      break
      ;;
    -h | --help)
      sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'
      exit 0
      ;;
    *)
      echo "fuzz.sh: unknown argument '$1' (see --help)" >&2
      exit 2
      ;;
  esac
  shift
done
if [ "$mode" = replay ] && [ ${#inputs[@]} -eq 0 ]; then
  echo "fuzz.sh: --replay needs at least one input file" >&2
  exit 2
fi

root=$(pwd)
build=$root/build/fuzz
harness=$root/tests/fuzz/fuzz_ostrel.py
seeds=$root/tests/fuzz/corpus
artifacts=$build/artifacts
mkdir -p "$build" "$artifacts"

as_root() {
  if [ "$(id -u)" -eq 0 ]; then
    "$@"
  elif command -v sudo >/dev/null && sudo -n true 2>/dev/null; then
    sudo "$@"
  else
    return 1
  fi
}

pip_install() {
  "$python" -m pip install -q "$@" ||
    "$python" -m pip install -q --break-system-packages "$@"
}

# ---- tools --------------------------------------------------------------------

if ! "$python" -c "import atheris" 2>/dev/null; then
  echo "== installing atheris"
  pip_install "atheris==3.0.0"
fi
if ! command -v cmake >/dev/null || ! command -v ninja >/dev/null; then
  echo "== installing cmake and ninja"
  pip_install "cmake>=3.26" ninja
fi

sanitize="-fsanitize=address,undefined,fuzzer-no-link -fno-sanitize=vptr,function"
sanitize+=" -fno-sanitize-recover=all -fno-omit-frame-pointer"
# clang before 19 does not announce the concepts level that libstdc++'s
# <expected> asks for, though clang 16 and later handle that header; later
# versions announce that same level themselves.
sanitize+=" -D__cpp_concepts=202002L -Wno-macro-redefined"

# The first clang that compiles a probe with the sanitizers (which need the
# compiler's runtime headers and ignore lists) and <expected>.
find_clang() {
  local cxx dir status=1
  dir=$(mktemp -d)
  printf '%s\n' '#include <expected>' '#include <string>' \
    'std::expected<int, std::string> f(int x) { return x; }' \
    'int g() { return f(1).value(); }' >"$dir/p.cpp"
  for cxx in clang++-19 clang++-18 clang++-17 clang++-16 clang++; do
    if command -v "$cxx" >/dev/null &&
      "$cxx" -std=c++2b $sanitize -c "$dir/p.cpp" -o "$dir/p.o" 2>/dev/null; then
      echo "$cxx"
      status=0
      break
    fi
  done
  rm -rf "$dir"
  return $status
}

found=""
if [ -z "${OSTREL_FUZZ_PLAIN:-}" ]; then
  found=$(find_clang) || found=""
fi
if [ -z "$found" ] && [ -z "${OSTREL_FUZZ_PLAIN:-}" ]; then
  echo "== installing clang 16 and its sanitizer runtimes (Debian)"
  if as_root apt-get update -qq &&
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
      clang-16 libclang-rt-16-dev >/dev/null; then
    found=$(find_clang) || found=""
  else
    echo "   (cannot install packages here)"
  fi
fi

# ---- build --------------------------------------------------------------------

interpreter=$("$python" -c 'import sys; print(sys.executable)')
# Configures and builds the extension into $1 with the remaining cmake
# arguments; the output goes to build/fuzz/build.log.
build_into() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPython_EXECUTABLE="$interpreter" "$@" >"$build/build.log" 2>&1 &&
    cmake --build "$dir" >>"$build/build.log" 2>&1
}

preload=""
if [ -n "$found" ]; then
  cxx=$found
  flags=$sanitize
  modules=$build/module
  if [ -f "$modules/.stamp" ] && [ "$(cat "$modules/.stamp")" != "$cxx $flags" ]; then
    rm -rf "$modules"
  fi
  echo "== building the instrumented extension ($cxx) in build/fuzz"
  if build_into "$modules" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_CXX_SCAN_FOR_MODULES=OFF \
    -DCMAKE_CXX_FLAGS="$flags"; then
    echo "$cxx $flags" >"$modules/.stamp"
    preload="$("$python" -c 'import atheris; print(atheris.path())')/asan_with_fuzzer.so"
    if [ ! -f "$preload" ]; then
      echo "fuzz.sh: atheris has no $preload; reinstall atheris from its wheel" >&2
      exit 1
    fi
  else
    tail -n 30 "$build/build.log"
    echo "== NOTE: the instrumented build failed (above)"
    found=""
  fi
fi
if [ -z "$found" ]; then
  echo "== NOTE: no usable clang with sanitizers (or OSTREL_FUZZ_PLAIN set); falling back to"
  echo "   the normal build and Python-level coverage only (no native feedback, no ASan)"
  modules=$build/plain
  if ! build_into "$modules"; then
    tail -n 30 "$build/build.log"
    echo "fuzz.sh: the extension does not build" >&2
    exit 1
  fi
fi

# ---- run ----------------------------------------------------------------------

preloads=()
[ -z "$preload" ] || preloads=(LD_PRELOAD="$preload")
run() {
  env PYTHONPATH="$modules${PYTHONPATH:+:$PYTHONPATH}" "${preloads[@]}" \
    PYTHONMALLOC=malloc PYTHONHASHSEED=0 \
    ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:max_allocation_size_mb=2048${ASAN_OPTIONS:+:$ASAN_OPTIONS}" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}" \
    "$@"
}

module=$(run "$python" -c 'import ostrel; print(ostrel.__file__)')
case "$module" in
  "$modules"/*) ;;
  *)
    echo "fuzz.sh: imported $module instead of the build in $modules" >&2
    exit 1
    ;;
esac

common=(-rss_limit_mb=4096 -timeout=30 -detect_leaks=0 -max_len=4096
  -artifact_prefix="$artifacts/" -print_final_stats=1)

if [ "$mode" = replay ]; then
  echo "== replaying ${#inputs[@]} input(s)"
  run "$python" "$harness" "${common[@]}" "${extra[@]}" "${inputs[@]}"
  exit
fi

if [ "$mode" = long ]; then
  corpus=$build/corpus
  mkdir -p "$corpus"
  cp -n "$seeds"/* "$corpus"/ 2>/dev/null || true
else
  corpus=$(mktemp -d "${TMPDIR:-/tmp}/ostrel-fuzz.XXXXXX")
  trap 'rm -rf "$corpus"' EXIT
  cp "$seeds"/* "$corpus"/
fi

log=$build/last-run.log
echo "== fuzzing for ${seconds}s ($mode; log in build/fuzz/last-run.log)"
touch "$build/.started"
status=0
run "$python" "$harness" "$corpus" "${common[@]}" -max_total_time="$seconds" "${extra[@]}" \
  >"$log" 2>&1 || status=$?
found_inputs=$(find "$artifacts" -type f -newer "$build/.started")

grep -E '^INFO: (Seed|Loaded)' "$log" || true
grep -E '^#[0-9]+' "$log" | tail -n 1 || true
if [ "$status" -ne 0 ] || [ -n "$found_inputs" ]; then
  echo "== FINDING (libFuzzer exit status $status); the end of the log:"
  grep -v -E '^#[0-9]+|NEW_FUNC' "$log" | tail -n 60
  for input in $found_inputs; do
    echo "   saved input: $input"
    echo "   reproduce:   scripts/fuzz.sh --replay $input"
  done
  exit 1
fi
runs=$(sed -n -E 's/^stat::number_of_executed_units: *([0-9]+).*/\1/p' "$log" | tail -n 1)
echo "fuzz: no findings in ${runs:-?} inputs"
if [ "$mode" = long ]; then
  echo "   corpus kept in build/fuzz/corpus ($(find "$corpus" -type f | wc -l) inputs)"
fi
