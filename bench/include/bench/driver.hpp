#ifndef BENCH_DRIVER_HPP
#define BENCH_DRIVER_HPP

namespace bench {

// The whole program: handlers, command line, suite, one pass. Returns the
// exit status (0 after a completed run, 1 after an error).
int run_benchmark(int argc, char* argv[]);

}  // namespace bench

#endif
