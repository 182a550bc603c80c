// The simulation fit of 1000 trials (drift 1, boundary 1.5, t0 0.3) from the
// default guess with 200 iterations, on a pool of a given size (argument 1,
// default: one worker per processor). Prints one JSON line: wall time,
// iterations, final cost and the number of cost evaluations that simulated
// a batch, counted on the pool.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "corvatel/ez.h"
#include "corvatel/sim_fit.h"
#include "corvatel/simulate.h"

int main(int argc, char** argv) {
  using namespace corvatel;
  const std::size_t workers = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : available_processors();
  const std::uint64_t seed = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 101;
  WorkerPool pool(workers);

  // The observed data: the finished trials, as Python's simulate returns them.
  std::vector<Trial> observed;
  for (const Trial& t : simulate_n({1.0, 1.5, 0.5, 0.3, 1.0}, 1000, seed, pool)) {
    if (!t.timed_out) observed.push_back(t);
  }
  const Params guess = default_fit_guess(observed);

  const std::uint64_t batches_before = pool.batches_run();
  const auto start = std::chrono::steady_clock::now();
  const auto fit = fit_simulation(observed, guess, 200, pool);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!fit) {
    std::fprintf(stderr, "fit failed: %s\n", fit.error().message().c_str());
    return 1;
  }
  std::printf(
      "{\"workers\": %zu, \"seconds\": %.6f, \"iterations\": %llu, \"final_cost\": %.17g, \"evaluations\": %llu}\n",
      pool.size(), seconds, static_cast<unsigned long long>(fit.value().iterations), fit.value().final_cost,
      static_cast<unsigned long long>(pool.batches_run() - batches_before));
  return 0;
}
