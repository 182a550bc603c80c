#!/usr/bin/env bash
# Cross-compiles the core and its tests for aarch64 and runs them under
# qemu-user. The reference-vector tests compare the random streams, the
# simulated trials, their statistics and the fits with the same bits the
# x86-64 build must produce, so passing here means the two processors agree
# bit for bit. By default only the programs holding those tests are built and
# run (the others compare the core with definitions compiled for the same
# processor, which the native run covers); with --full, all of them.
set -euo pipefail
cd "$(dirname "$0")/../.."
. tools/ci/common.sh

full=false
case "${1:-}" in
  --full) full=true ;;
  "") ;;
  *) echo "usage: bash tools/ci/aarch64.sh [--full]" >&2; exit 2 ;;
esac

apt_need g++-aarch64-linux-gnu qemu-user googletest nlohmann-json3-dev

root=build/aarch64
gtest_prefix="$PWD/$root/gtest-install"
toolchain="$PWD/tools/ci/aarch64-toolchain.cmake"
jobs=$(build_jobs)

# GoogleTest for the target, from the sources Debian ships.
if [ ! -f "$gtest_prefix/lib/cmake/GTest/GTestConfig.cmake" ]; then
  cmake -S /usr/src/googletest -B "$root/gtest" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF -DCMAKE_INSTALL_PREFIX="$gtest_prefix" >/dev/null
  cmake --build "$root/gtest" -j "$jobs" >/dev/null
  cmake --install "$root/gtest" >/dev/null
fi

cmake -S . -B "$root/core" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
  -DBUILD_TESTING=ON -DCORVATEL_WERROR=ON \
  -DCMAKE_FIND_ROOT_PATH="$gtest_prefix" -DGTest_DIR="$gtest_prefix/lib/cmake/GTest" \
  -Dnlohmann_json_DIR=/usr/share/cmake/nlohmann_json >/dev/null
vector_tests=(chacha_test normal_test stats_test ez_test simulate_test sim_fit_test)
if $full; then
  cmake --build "$root/core" -j "$jobs"
else
  cmake --build "$root/core" -j "$jobs" --target "${vector_tests[@]}"
fi
aarch64-linux-gnu-readelf -h "$root/core/corvatel_core/tests/simulate_test" | grep -q AArch64 \
  || { echo "the cross build did not produce aarch64 programs" >&2; exit 1; }
# qemu-user cannot start threads in the child of a multi-threaded process (it
# aborts inside the emulator), so the fork tests run in the native build only;
# nor can it run under a 4 GiB address-space limit, which it needs for its own
# reservation, so the limit tests run natively too. The distribution
# function's tests with sv (a quadrature over the drift of every value) and
# its batch over pools take four minutes under emulation; the ones without
# sv run the same code below that quadrature. The solver's comparisons with
# Euler walks (millions of steps) would take minutes more; its other tests
# run the same solver.
# Programs left unbuilt stand in CTest as *_NOT_BUILT.
ctest --test-dir "$root/core" --output-on-failure -j "$jobs" \
  -E '_NOT_BUILT$|^(WorkerPool\.ChildOfFork|ObtainableMemory\.(AddressSpaceLimitCounts|SmallRequestsPassUnchecked)$|Models/WfptCdfTest\..*/sv|WfptCdfBatchTest\.|FptSolver/WalkCases\.MatchesAnEulerSimulation)'
