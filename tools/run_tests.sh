#!/usr/bin/env bash
# Installs what the tests need and runs them all: the core's GoogleTest suite
# through CTest, then the module's pytest suite against a fresh install.
#
# With --ci (as .ci/run calls it) it goes on with the checks CI adds, each a
# script under tools/ci: a longer argument fuzz, the tests under sanitizers,
# the wheel's tests on every CPython from 3.11 up, and the core's tests
# cross-compiled for aarch64 under qemu. Any failure stops the run.
set -euo pipefail
cd "$(dirname "$0")/.."

ci=false
case "${1:-}" in
  --ci) ci=true ;;
  "") ;;
  *) echo "usage: bash tools/run_tests.sh [--ci]" >&2; exit 2 ;;
esac

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

core_tests() {
  local jobs
  jobs=$(nproc)
  cmake -S . -B build/tests -DBUILD_TESTING=ON -DCORVATEL_BENCH=ON -DCORVATEL_WERROR=ON -DCMAKE_BUILD_TYPE=Release
  cmake --build build/tests -j "$jobs"
  ctest --test-dir build/tests --output-on-failure -j "$jobs"
}

pytest_summary=build/pytest-summary.txt
module_tests() {
  python3 -m pip install --quiet ".[test,bayes]"
  mkdir -p build
  python3 -m pytest -p no:cacheprovider | tee build/pytest.log
  tail -n 1 build/pytest.log >"$pytest_summary"
}

# About a minute of adversarial calls; tools/fuzz.py makes longer runs.
fuzz() {
  CORVATEL_FUZZ_BATCHES=300 python3 -m pytest -p no:cacheprovider -q tests/test_fuzz.py
}

step "install dependencies" install_dependencies
step "reference vectors" check_vectors
step "core tests (CTest)" core_tests
step "module tests (pytest)" module_tests
if $ci; then
  step "argument fuzz" fuzz
  step "sanitizers" bash tools/ci/sanitizers.sh
  CORVATEL_SUITE_RAN_ON=$(python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])') \
    step "every Python" bash tools/ci/pythons.sh
  step "aarch64 under qemu" bash tools/ci/aarch64.sh
fi

printf '\n========== time per step ==========\n'
printf '%s\n' "${timings[@]}"
printf '\nmodule tests: %s\n' "$(cat "$pytest_summary")"
