#!/usr/bin/env bash
# Installs what the tests need and runs them all: the core's GoogleTest suite
# through CTest, then the module's pytest suite against a fresh install.
set -euo pipefail
cd "$(dirname "$0")/.."

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

jobs=$(nproc)
cmake -S . -B build/tests -DBUILD_TESTING=ON -DCORVATEL_BENCH=ON -DCORVATEL_WERROR=ON -DCMAKE_BUILD_TYPE=Release
cmake --build build/tests -j "$jobs"
ctest --test-dir build/tests --output-on-failure -j "$jobs"

python3 -m pip install --quiet ".[test]"
python3 -m pytest -p no:cacheprovider
