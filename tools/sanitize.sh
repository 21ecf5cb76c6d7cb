#!/usr/bin/env bash
# Builds orvex with AddressSanitizer and UndefinedBehaviorSanitizer into a
# virtual environment of its own and runs the whole test suite under them,
# with the property tests at their heavy profile. Any sanitizer report fails
# the run, also one from a child interpreter that a test starts.
#
# Usage: tools/sanitize.sh [pytest arguments]   (from anywhere)
# Environment: PYTHON (interpreter, default python3), SANITIZE_VENV (default
# .venv-sanitize in the checkout), ORVEX_HYPOTHESIS_PROFILE (default heavy),
# ORVEX_LEAK_CALLS (default 300), ORVEX_TEST_TIMEOUT (seconds per test,
# default 600: the heavy profile's longest tests take half a minute
# uninstrumented, and several times that under the sanitizers).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
PYTHON="${PYTHON:-python3}"
VENV="${SANITIZE_VENV:-$ROOT/.venv-sanitize}"
TIMEOUT="${ORVEX_TEST_TIMEOUT:-600}"
CXX="${CXX:-g++}"
REPORTS="$(mktemp -d)"
RUN_DIR="$(mktemp -d)"
trap 'rm -rf "$REPORTS" "$RUN_DIR"' EXIT

runtime() {
  local path
  path="$("$CXX" -print-file-name="$1")"
  if [ ! -e "$path" ]; then
    echo "sanitize: $CXX has no $1" >&2
    exit 1
  fi
  echo "$path"
}
ASAN_RUNTIME="$(runtime libasan.so)"
UBSAN_RUNTIME="$(runtime libubsan.so)"

if [ ! -x "$VENV/bin/python" ]; then
  "$PYTHON" -m venv "$VENV"
  "$VENV/bin/python" -m pip install -q --upgrade pip
fi
"$VENV/bin/python" -m pip install -q numpy pycryptodome pytest pytest-timeout hypothesis redis \
  "scikit-build-core>=0.10" cmake ninja
# A build directory of its own: ORVEX_SANITIZE is cached by CMake, and a
# normal build must never pick it up.
"$VENV/bin/python" -m pip install -q --no-build-isolation --no-deps --force-reinstall "$ROOT" \
  -C cmake.define.ORVEX_SANITIZE=address,undefined -C cmake.define.ORVEX_WERROR=ON \
  -C cmake.define.ORVEX_TEST_HOOKS=ON \
  -C "build-dir=$ROOT/build/sanitize-{wheel_tag}"

# Paths among the arguments are taken relative to where the script was
# started; without any, the whole suite runs.
args=()
have_path=false
for arg in "$@"; do
  if [ -e "$arg" ]; then
    args+=("$(realpath "$arg")")
    have_path=true
  else
    args+=("$arg")
  fi
done
$have_path || args+=("$ROOT/tests")

# From an empty directory, so that only the installed package is importable.
# Refuse to report success for a build that is not instrumented.
cd "$RUN_DIR"
for module in fuzzy limiter vault; do
  file="$("$VENV/bin/python" -c "import importlib.util as u; print(u.find_spec('orvex.$module').origin)")"
  if [[ "$(ldd "$file")" != *libasan* ]]; then
    echo "sanitize: $file is not built with AddressSanitizer" >&2
    exit 1
  fi
done

# The reports go to stderr (not every runtime of the pair honours log_path),
# so the output is kept and searched as well as the exit status checked.
# pytest captures only at the Python level: a report written to file
# descriptor 2 by a process that then aborts must not vanish with the capture.
output="$REPORTS/output"
set +e
env LD_PRELOAD="$ASAN_RUNTIME $UBSAN_RUNTIME" \
  PYTHONMALLOC=malloc PYTHONUNBUFFERED=1 \
  ASAN_OPTIONS="detect_leaks=0" \
  UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
  ORVEX_HYPOTHESIS_PROFILE="${ORVEX_HYPOTHESIS_PROFILE:-heavy}" \
  ORVEX_LEAK_CALLS="${ORVEX_LEAK_CALLS:-300}" \
  "$VENV/bin/python" -m pytest --rootdir "$ROOT" -c "$ROOT/pyproject.toml" \
  -p no:cacheprovider -q --capture=sys --timeout="$TIMEOUT" "${args[@]}" 2>&1 | tee "$output"
rc=${PIPESTATUS[0]}
set -e

if grep -E -q '^==[0-9]+==ERROR: |: runtime error: ' "$output"; then
  echo "sanitize: the sanitizers reported errors (above)" >&2
  exit 1
fi
if [ "$rc" -ne 0 ]; then
  echo "sanitize: tests failed under the sanitizers (pytest exit $rc)" >&2
  exit 1
fi
echo "sanitize: no sanitizer reports"
