#!/usr/bin/env bash
# The tests under sanitizers. AddressSanitizer + UndefinedBehaviorSanitizer:
# one instrumented build of the module and the core's tests, then the core's
# tests of buffers, lanes and the worker pool and the module's tests of its
# interface (argument conversion, the fuzz, every entry point's own tests);
# ThreadSanitizer: the core's worker-pool and concurrency tests. With --full,
# every core test and the whole pytest suite but for the layers above the
# module (below), and the module's thread tests under ThreadSanitizer too.
# Any finding stops the run: UBSan is built with -fno-sanitize-recover, ASan
# and TSan end the process on a report.
#
# Tests that cannot work under a sanitizer skip themselves when
# CORVATEL_SANITIZER is set, each saying why (fork tests: a child forked from
# a threaded process can block on the sanitizer allocator's lock; RSS and
# address-space tests: ASan's shadow memory and freed-memory quarantine).
set -euo pipefail
cd "$(dirname "$0")/../.."
. tools/ci/common.sh

full=false
case "${1:-}" in
  --full) full=true ;;
  "") ;;
  *) echo "usage: bash tools/ci/sanitizers.sh [--full]" >&2; exit 2 ;;
esac

apt_need g++ libasan8 libubsan1 libtsan2 libgtest-dev nlohmann-json3-dev

jobs=$(build_jobs)
common_flags="-g1 -fno-omit-frame-pointer -Wno-maybe-uninitialized"
# -O1 compiles instrumented code in half the time of -O3 and still runs fast.
optimise="-O1 -DNDEBUG"
asan_flags="-fsanitize=address,undefined -fno-sanitize-recover=all $common_flags"
tsan_flags="-fsanitize=thread $common_flags"
export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
# Races only: TSan's lock-order detector overflows its fixed table on
# jemalloc's many prefork locks (pyarrow's) whenever a test starts a process.
export TSAN_OPTIONS="halt_on_error=1:detect_deadlocks=0"
fork_test='^WorkerPool\.ChildOfFork'

step() { printf '\n--- %s (at %d s)\n' "$*" "$SECONDS"; }

# The module in a venv of its own, built with the given flags and run with the
# sanitizer's runtime (and libstdc++, or ASan aborts on the first C++ throw)
# preloaded, since python itself is not instrumented.
module_venv() {  # name flags [pip options...]
  local venv="build/venv-$1" name=$1 flags=$2
  shift 2
  [ -x "$venv/bin/python" ] || python3 -m venv "$venv"
  "$venv/bin/python" -m pip install --quiet --quiet --upgrade pip
  "$venv/bin/python" -m pip install --quiet --quiet "scikit-build-core>=0.10" "numpy>=2.0"
  "$venv/bin/python" -m pip install --quiet --quiet --no-build-isolation \
    -C build-dir="build/module-$name" -C cmake.define.CMAKE_CXX_FLAGS="$flags" \
    -C cmake.define.CMAKE_CXX_FLAGS_RELEASE="$optimise" "$@" ".[test]"
}
preload() { echo "$(g++ -print-file-name="lib$1.so") $(g++ -print-file-name=libstdc++.so)"; }

# The core's tests are built beside the module, in the same instrumented
# build. Warnings are errors in the plain build only: instrumented code makes
# GCC report maybe-uninitialized values inside its own intrinsics headers.
asan_build=build/module-asan
step "module and core tests, built with ASan + UBSan"
if $full; then
  module_venv asan "$asan_flags" -C cmake.define.BUILD_TESTING=ON
else
  # The lanes' kernels, the density batches, the solver's grid and the
  # worker pool; the simulations' buffers are the module tests' below.
  quick_core_tests=(walk_test wfpt_batch_test fpt_solver_test worker_pool_test memory_test)
  module_venv asan "$asan_flags" -C cmake.define.BUILD_TESTING=ON \
    -C build.targets="_corvatel;$(IFS=';'; echo "${quick_core_tests[*]}")"
fi

step "core tests, ASan + UBSan"
# The fork tests run in the plain build only (see above). Nor do the solver's
# comparisons with Euler walks (a minute of arithmetic on fixed-size buffers
# that its other tests exercise).
if $full; then
  # The simulation's tests again on each forced SIMD path (simd_*) add
  # nothing here: the walk tests run every path's kernel already.
  ctest --test-dir "$asan_build" --output-on-failure -j "$jobs" -E "$fork_test|^simd_|MatchesAnEulerSimulation"
else
  for test in "${quick_core_tests[@]}"; do
    "$asan_build/corvatel_core/tests/$test" --gtest_brief=1 \
      --gtest_filter="-WorkerPool.ChildOfFork*:*MatchesAnEulerSimulation*"
  done
fi

step "core worker-pool and concurrency tests, TSan"
cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="$optimise" -DBUILD_TESTING=ON \
  -DCORVATEL_WERROR=OFF -DCMAKE_CXX_FLAGS="$tsan_flags" >/dev/null
cmake --build build/tsan -j "$jobs" --target worker_pool_test simulate_test
# All tests run in one process here, so those that fork a threaded process
# stay out: TSan cannot start threads in such a child.
build/tsan/corvatel_core/tests/worker_pool_test --gtest_filter="-WorkerPool.ChildOfFork*:WorkerPool.SharedSizeFromEnvironment" --gtest_brief=1
build/tsan/corvatel_core/tests/simulate_test --gtest_filter='*Pool*:*Thread*:*Concurren*' --gtest_brief=1

step "module tests, ASan + UBSan"
# Python's own allocator would hide object overruns from ASan.
if $full; then
  # The Dask cluster, README, command-line and figure tests (worker
  # processes, mypy, subprocesses, matplotlib) reach the module only through
  # calls the other tests make, at several times their cost here; the
  # high-precision density references spend their time in mpmath (the core's
  # own density tests ran under ASan above), and the slow checks repeat long
  # computations through calls the others make once. The table layers (fit
  # and simulate_data over data frames, recover, flags, the example data
  # sets) reach the module only through the calls whose own tests run here.
  module_tests=(tests --ignore=tests/test_cluster.py --ignore=tests/test_readme.py
    --ignore=tests/test_cli.py --ignore=tests/test_plot.py
    --ignore=tests/test_table_fit.py --ignore=tests/test_table_ml.py --ignore=tests/test_table_bounds.py
    --ignore=tests/test_recover.py --ignore=tests/test_simulate_data.py --ignore=tests/test_flags.py
    --ignore=tests/test_datasets.py)
else
  # The interface: argument conversion and its races, the fuzz, the thread
  # tests, and each entry point's own tests but fit_sim's (a minute of
  # simulations through the buffers test_simulate.py covers) and the
  # distribution function's (mpmath references, in the core's own tests).
  module_tests=(tests/test_module.py tests/test_fuzz.py tests/test_conversion_races.py tests/test_locking.py
    tests/test_memory.py tests/test_parameters.py tests/test_threads.py tests/test_simulate.py
    tests/test_simulate_bounds.py tests/test_estimate.py tests/test_likelihood.py tests/test_bounds.py
    tests/test_gradient.py tests/test_mixture.py tests/test_truncation.py)
fi
CORVATEL_SANITIZER=address PYTHONMALLOC=malloc LD_PRELOAD="$(preload asan)" \
  build/venv-asan/bin/python -m pytest -p no:cacheprovider -q -n "$jobs" \
  -m "not reference and not slow" "${module_tests[@]}"

if $full; then
  step "module thread and concurrency tests, TSan"
  module_venv tsan "$tsan_flags"
  # The Dask tests' worker processes only call set_num_threads, whose races
  # the thread tests cover in one process.
  CORVATEL_SANITIZER=thread LD_PRELOAD="$(preload tsan)" \
    build/venv-tsan/bin/python -m pytest -p no:cacheprovider -q -k "thread or concurrent or lock" \
    -m "not reference and not slow" --ignore=tests/test_cluster.py
fi
step "sanitizers done"
