#!/usr/bin/env bash
# Installs what the tests need and runs them all: the core's GoogleTest suite
# through CTest, then the module's pytest suite against a fresh install.
#
# One build serves both: the wheel is built with the core's tests beside it,
# and the same wheel goes on to the other Pythons.
#
# With --ci (as .ci/run calls it) it goes on with the checks CI adds, each a
# script under tools/ci: a longer argument fuzz, the tests under sanitizers,
# the wheel on every CPython from 3.11 up, and the core cross-compiled for
# aarch64 under qemu. CI runs each check in its quick form, which keeps what
# finds faults in everyday changes; --full runs them whole (before a release,
# or after a change to the worker pool, memory handling or the numerics).
# Any failure stops the run.
set -euo pipefail
cd "$(dirname "$0")/.."

ci=false
depth=()
case "${1:-}" in
  --ci) ci=true ;;
  --full) ci=true; depth=(--full) ;;
  "") ;;
  *) echo "usage: bash tools/run_tests.sh [--ci | --full]" >&2; exit 2 ;;
esac
jobs=$(nproc)

# Processor seconds of the finished child processes so far: on a shared
# machine a step's wall time says little about what it costs.
# Sets `cpu`. `times` must run in this shell: in a command substitution's
# subshell it would count nothing.
times_file=$(mktemp)
trap 'rm -f "$times_file"' EXIT
cpu_now() {
  times >"$times_file"
  cpu=$(awk 'NR == 2 { split($1, u, /[ms]/); split($2, s, /[ms]/); printf "%d", u[1] * 60 + u[2] + s[1] * 60 + s[2] }' "$times_file")
}

timings=()
step() {  # title command...
  local title=$1 start=$SECONDS cpu_start
  cpu_now
  cpu_start=$cpu
  shift
  printf '\n========== %s ==========\n' "$title"
  "$@"
  cpu_now
  timings+=("$(printf '%5d s wall %5d s cpu  %s' $((SECONDS - start)) $((cpu - cpu_start)) "$title")")
}

install_dependencies() {
  need=()
  dpkg -s libgtest-dev >/dev/null 2>&1 || need+=(libgtest-dev)
  dpkg -s nlohmann-json3-dev >/dev/null 2>&1 || need+=(nlohmann-json3-dev)
  dpkg -s libbenchmark-dev >/dev/null 2>&1 || need+=(libbenchmark-dev)
  if [ ${#need[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    $sudo apt-get install -y -qq "${need[@]}"
  fi
}

# The reference vectors are copies (tests/data/README.md): they must still be
# the files recorded there, and equal the independent copy when one lies
# beside the clone.
check_vectors() {
  (cd tests/data && sha256sum --check --quiet SHA256SUMS)
  local independent=../shared/vectors
  if [ -d "$independent" ]; then
    local file
    for file in tests/data/*.json; do
      cmp "$file" "$independent/$(basename "$file")" \
        || { echo "$file differs from $independent: copy the new reference set in whole" >&2; return 1; }
    done
    echo "tests/data matches SHA256SUMS and $independent"
  else
    echo "tests/data matches SHA256SUMS (no independent copy beside the clone to compare)"
  fi
}

# The wheel, and in its build folder the core's tests and benchmarks.
wheel_dir=build/wheel
build() {
  rm -rf "$wheel_dir"
  python3 -m pip wheel --quiet --no-deps --wheel-dir "$wheel_dir" \
    -C build-dir=build/release -C cmake.define.BUILD_TESTING=ON \
    -C cmake.define.CORVATEL_BENCH=ON -C cmake.define.CORVATEL_WERROR=ON .
  local wheels=("$wheel_dir"/corvatel-*.whl)
  [ ${#wheels[@]} -eq 1 ] || { echo "expected one wheel, found: ${wheels[*]}" >&2; return 1; }
  wheel=${wheels[0]}
}

core_tests() {
  ctest --test-dir build/release --output-on-failure -j "$jobs"
}

pytest_summary=build/pytest-summary.txt
module_tests() {
  python3 -m pip install --quiet "$wheel[test,bayes]"
  # The version does not change from build to build: without this an earlier
  # install of it would stay.
  python3 -m pip install --quiet --force-reinstall --no-deps "$wheel"
  # pytest-benchmark, where some other package installed it, warns that
  # xdist disables it, and the suite treats warnings as errors.
  python3 -m pytest -p no:cacheprovider -p no:benchmark -n "$jobs" | tee build/pytest.log
  tail -n 1 build/pytest.log >"$pytest_summary"
}

# About a minute of adversarial calls; tools/fuzz.py makes longer runs.
fuzz() {
  CORVATEL_FUZZ_BATCHES=300 python3 -m pytest -p no:cacheprovider -q tests/test_fuzz.py
}

step "install dependencies" install_dependencies
step "reference vectors" check_vectors
step "build: the wheel and the core's tests" build
step "core tests (CTest)" core_tests
step "module tests (pytest)" module_tests
if $ci; then
  step "argument fuzz" fuzz
  step "sanitizers" bash tools/ci/sanitizers.sh "${depth[@]}"
  CORVATEL_WHEEL=$wheel CORVATEL_SUITE_RAN_ON=$(python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])') \
    step "every Python" bash tools/ci/pythons.sh "${depth[@]}"
  step "aarch64 under qemu" bash tools/ci/aarch64.sh "${depth[@]}"
fi

printf '\n========== time per step ==========\n'
printf '%s\n' "${timings[@]}"
printf '\nmodule tests: %s\n' "$(cat "$pytest_summary")"
