// placeholder until the kernel benchmark lands
#include <benchmark/benchmark.h>
BENCHMARK_MAIN();
