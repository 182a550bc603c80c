#!/usr/bin/env bash
# Installs the one abi3 wheel on every CPython from 3.11 up that this machine
# has, each in a fresh venv with the wheel and the test dependencies from
# PyPI: every version runs the wheel's smoke test (the demo), and the newest
# the tests of the module's interface, of the table layer on its pandas,
# NumPy and matplotlib, and of the Bayesian layer on PyMC 6 and ArviZ 1
# (3.11 has PyMC 5 and ArviZ 0.x) (with --full: the whole suite but for the
# slow tests and the references). The two ends are where the limited API and
# the dependencies differ most.
#
# The wheel is CORVATEL_WHEEL when set (run_tests.sh passes the one it built
# and tested), else built here.
#
# Pythons are found as python3.11, python3.12, ... on PATH and under pyenv's
# versions folder (CPython builds only, newest patch level of each minor).
# A minor version that is absent is skipped and said so; the step fails when
# fewer than two minor versions are found, since then it would check nothing
# beyond the default suite. CORVATEL_SUITE_RAN_ON=3.N (run_tests.sh sets it)
# says the whole suite already ran on that version from the same sources.
set -euo pipefail
cd "$(dirname "$0")/../.."

full=false
case "${1:-}" in
  --full) full=true ;;
  "") ;;
  *) echo "usage: bash tools/ci/pythons.sh [--full]" >&2; exit 2 ;;
esac

root=build/pythons
wheel=${CORVATEL_WHEEL:-}
if [ -z "$wheel" ]; then
  rm -rf "$root/wheel"
  mkdir -p "$root/wheel"
  python3 -m pip wheel --quiet --no-deps --wheel-dir "$root/wheel" .
  wheels=("$root"/wheel/corvatel-*.whl)
  [ ${#wheels[@]} -eq 1 ] || { echo "expected one wheel, found: ${wheels[*]}" >&2; exit 1; }
  wheel=${wheels[0]}
fi
case "$wheel" in
  *-cp311-abi3-*) ;;
  *) echo "the wheel is not a cp311 abi3 wheel: $wheel" >&2; exit 1 ;;
esac
echo "wheel: $(basename "$wheel")"

# The interpreter for a minor version, or nothing.
find_python() {  # minor
  local minor=$1 candidate
  for candidate in $(ls -d "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3."$minor".*/bin/python3 2>/dev/null | sort -V -r) \
                   "$(command -v python3."$minor" || true)"; do
    [ -n "$candidate" ] && [ -x "$candidate" ] || continue
    # pyenv also holds other implementations and free-threaded builds, which
    # an abi3 wheel does not serve; only regular CPython counts.
    "$candidate" -c 'import sys, platform, sysconfig; sys.exit(platform.python_implementation() != "CPython" or sys.version_info[:2] != (3, '"$minor"') or bool(sysconfig.get_config_var("Py_GIL_DISABLED")))' \
      2>/dev/null && { echo "$candidate"; return; }
  done
}

minors=()
for minor in $(seq 11 20); do
  python=$(find_python "$minor")
  if [ -z "$python" ]; then
    echo "--- Python 3.$minor: not on this machine, skipped"
  else
    minors+=("$minor")
  fi
done
found=${#minors[@]}
newest=${minors[$((found - 1))]:-}

for minor in "${minors[@]}"; do
  python=$(find_python "$minor")
  echo "--- Python 3.$minor: $python"
  venv="$root/venv-3.$minor"
  rm -rf "$venv"
  "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install --quiet --upgrade pip
  echo "the wheel's smoke test on 3.$minor"
  "$venv/bin/python" -m pip install --quiet "$wheel"
  "$venv/bin/python" -m corvatel >/dev/null
  if [ "$minor" = "$newest" ] && [ "3.$minor" != "${CORVATEL_SUITE_RAN_ON:-}" ]; then
    # From the tests folder's parent, but against the installed wheel: the
    # sources are never on the path (the suite imports in importlib mode).
    # The references and the slow numerical checks test numbers the core
    # computes alike on every Python.
    "$venv/bin/python" -m pip install --quiet "$wheel[test,bayes]"
    "$venv/bin/python" -c 'import arviz, pymc; print(f"PyMC {pymc.__version__}, ArviZ {arviz.__version__}")'
    if $full; then
      "$venv/bin/python" -m pytest -p no:cacheprovider -q -n "$(nproc)" -m "not reference and not slow"
    else
      "$venv/bin/python" -m pytest -p no:cacheprovider -q -n "$(nproc)" -m "not reference and not slow" \
        tests/test_module.py tests/test_simulate.py tests/test_threads.py \
        tests/test_table_fit.py tests/test_simulate_data.py tests/test_plot.py tests/test_cli.py \
        tests/test_pymc.py tests/test_pymc_compiled.py tests/test_hierarchical.py \
        tests/test_hierarchical_models.py tests/test_sbc.py tests/test_readme.py
    fi
  fi
done

if [ "$found" -lt 2 ]; then
  echo "only $found CPython version(s) from 3.11 up found; at least two are needed" >&2
  exit 1
fi
