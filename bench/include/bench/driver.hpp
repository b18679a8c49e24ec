#ifndef BENCH_DRIVER_HPP
#define BENCH_DRIVER_HPP

namespace bench {

// The whole program: handlers, command line, suite, one pass. Returns the
// exit status: 0 after a completed run, 1 after an error, 128 + N after a
// run stopped by signal N, 3 after a run with failed tests under --strict
// (in this order of precedence).
int run_benchmark(int argc, char* argv[]);

}  // namespace bench

#endif
