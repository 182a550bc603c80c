#!/usr/bin/env bash
# Builds the one abi3 wheel once and installs it on every CPython from 3.11
# up that this machine has, each in a fresh venv with the wheel and the test
# dependencies from PyPI: the newest runs the pytest suite against it, the
# others the wheel's smoke test (the demo). The two ends are where the
# limited API and the dependencies differ most; one suite run costs minutes.
#
# Pythons are found as python3.11, python3.12, ... on PATH and under pyenv's
# versions folder (CPython builds only, newest patch level of each minor).
# A minor version that is absent is skipped and said so; the step fails when
# fewer than two minor versions are found, since then it would check nothing
# beyond the default suite. CORVATEL_SUITE_RAN_ON=3.N (run_tests.sh sets it)
# says the whole suite already ran on that version from the same sources.
set -euo pipefail
cd "$(dirname "$0")/../.."

root=build/pythons
rm -rf "$root/wheel"
mkdir -p "$root/wheel"

python3 -m pip wheel --quiet --no-deps --wheel-dir "$root/wheel" .
wheels=("$root"/wheel/corvatel-*.whl)
[ ${#wheels[@]} -eq 1 ] || { echo "expected one wheel, found: ${wheels[*]}" >&2; exit 1; }
wheel=${wheels[0]}
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
  if [ "$minor" != "$newest" ] || [ "3.$minor" = "${CORVATEL_SUITE_RAN_ON:-}" ]; then
    echo "the wheel's smoke test on 3.$minor"
    "$venv/bin/python" -m pip install --quiet "$wheel"
    "$venv/bin/python" -m corvatel >/dev/null
  else
    "$venv/bin/python" -m pip install --quiet "$wheel[test,bayes]"
    # From the tests folder's parent, but against the installed wheel: the
    # sources are never on the path (the suite imports in importlib mode).
    # The references and the slow numerical checks test numbers the core
    # computes alike on every Python.
    # The hierarchical fits are minutes of NUTS sampling in Python code that
    # does not differ between versions; the PyMC distribution's tests run.
    "$venv/bin/python" -m pytest -p no:cacheprovider -q -m "not reference and not slow" \
      --ignore=tests/test_hierarchical.py
  fi
done

if [ "$found" -lt 2 ]; then
  echo "only $found CPython version(s) from 3.11 up found; at least two are needed" >&2
  exit 1
fi
