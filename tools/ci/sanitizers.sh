#!/usr/bin/env bash
# The tests under sanitizers: the core's tests and the module's pytest suite
# with AddressSanitizer + UndefinedBehaviorSanitizer, then the worker-pool and
# concurrency tests with ThreadSanitizer. Any finding stops the run: UBSan is
# built with -fno-sanitize-recover, ASan and TSan end the process on a report.
#
# Tests that cannot work under a sanitizer skip themselves when
# CORVATEL_SANITIZER is set, each saying why (fork tests: a child forked from
# a threaded process can block on the sanitizer allocator's lock; RSS and
# address-space tests: ASan's shadow memory and freed-memory quarantine).
set -euo pipefail
cd "$(dirname "$0")/../.."
. tools/ci/common.sh

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

step "core tests, ASan + UBSan"
# Warnings are errors in the plain build only: instrumented code makes GCC
# report maybe-uninitialized values inside its own intrinsics headers.
cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="$optimise" -DBUILD_TESTING=ON \
  -DCORVATEL_WERROR=OFF -DCMAKE_CXX_FLAGS="$asan_flags" >/dev/null
cmake --build build/asan -j "$jobs"
# The fork tests run in the plain build only (see above). The simulation's
# tests again on each forced SIMD path (simd_*) add nothing here: the walk
# tests run every path's kernel already. Nor do the solver's comparisons
# with Euler walks (a minute of arithmetic on fixed-size buffers that its
# other tests exercise).
ctest --test-dir build/asan --output-on-failure -j "$jobs" -E "$fork_test|^simd_|MatchesAnEulerSimulation"

step "core worker-pool and concurrency tests, TSan"
cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="$optimise" -DBUILD_TESTING=ON \
  -DCORVATEL_WERROR=OFF -DCMAKE_CXX_FLAGS="$tsan_flags" >/dev/null
cmake --build build/tsan -j "$jobs" --target worker_pool_test simulate_test
# All tests run in one process here, so those that fork a threaded process
# stay out: TSan cannot start threads in such a child.
build/tsan/corvatel_core/tests/worker_pool_test --gtest_filter="-WorkerPool.ChildOfFork*:WorkerPool.SharedSizeFromEnvironment" --gtest_brief=1
build/tsan/corvatel_core/tests/simulate_test --gtest_filter='*Pool*:*Thread*:*Concurren*' --gtest_brief=1

# The module in a venv of its own, built with the given flags and run with the
# sanitizer's runtime (and libstdc++, or ASan aborts on the first C++ throw)
# preloaded, since python itself is not instrumented.
module_venv() {  # name flags
  local venv="build/venv-$1"
  [ -x "$venv/bin/python" ] || python3 -m venv "$venv"
  "$venv/bin/python" -m pip install --quiet --quiet --upgrade pip
  "$venv/bin/python" -m pip install --quiet --quiet "scikit-build-core>=0.10" "numpy>=2.0"
  "$venv/bin/python" -m pip install --quiet --quiet --no-build-isolation \
    -C build-dir="build/module-$1" -C cmake.define.CMAKE_CXX_FLAGS="$2" \
    -C cmake.define.CMAKE_CXX_FLAGS_RELEASE="$optimise" ".[test]"
}
preload() { echo "$(g++ -print-file-name="lib$1.so") $(g++ -print-file-name=libstdc++.so)"; }

step "module and pytest suite, ASan + UBSan"
module_venv asan "$asan_flags"
# Python's own allocator would hide object overruns from ASan. The Dask
# cluster, README, command-line and figure tests (worker processes, mypy,
# subprocesses, matplotlib) reach the module only through calls the other
# tests make, at several times their cost here; the high-precision density
# references spend their time in mpmath (the core's own density tests ran
# under ASan above), and the slow checks repeat long computations through
# calls the others make once. The table layers (fit and simulate_data over
# data frames, recover, flags, the example data sets) reach the module only
# through the calls whose own tests run here.
CORVATEL_SANITIZER=address PYTHONMALLOC=malloc LD_PRELOAD="$(preload asan)" \
  build/venv-asan/bin/python -m pytest -p no:cacheprovider -q \
  --ignore=tests/test_cluster.py --ignore=tests/test_readme.py \
  --ignore=tests/test_cli.py --ignore=tests/test_plot.py \
  --ignore=tests/test_table_fit.py --ignore=tests/test_table_ml.py --ignore=tests/test_recover.py \
  --ignore=tests/test_simulate_data.py --ignore=tests/test_flags.py --ignore=tests/test_datasets.py \
  -m "not reference and not slow"

step "module thread and concurrency tests, TSan"
module_venv tsan "$tsan_flags"
# The Dask tests' worker processes only call set_num_threads, whose races the
# thread tests cover in one process.
CORVATEL_SANITIZER=thread LD_PRELOAD="$(preload tsan)" \
  build/venv-tsan/bin/python -m pytest -p no:cacheprovider -q -k "thread or concurrent or lock" \
  -m "not reference and not slow" --ignore=tests/test_cluster.py
step "sanitizers done"
