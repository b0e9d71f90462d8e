// main() of the benchmark programs that compare with peers: two pool
// threads unless RAYON_NUM_THREADS says otherwise (the comparison runs every
// simulator with two), the pool made before timing as a long-lived process
// would have it.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdlib>

#include "vorn/core/parallel.hpp"

#define VORN_BENCHMARK_MAIN_TWO_THREADS()                                \
  int main(int argc, char** argv) {                                      \
    setenv("RAYON_NUM_THREADS", "2", 0);                                 \
    (void)vorn::pool_thread_count();                                     \
    benchmark::Initialize(&argc, argv);                                  \
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;    \
    benchmark::RunSpecifiedBenchmarks();                                 \
    benchmark::Shutdown();                                               \
    return 0;                                                            \
  }
