#ifndef BENCH_RUNNER_HPP
#define BENCH_RUNNER_HPP

#include <bench/test_result.hpp>
#include <bench/test_spec.hpp>
#include <bench/thread_context.hpp>

namespace bench {

// Runs one test on the context's client. Never throws a std::exception: a
// failed test is reported on std::cerr and returned with success false.
test_result run_test(thread_context& context, const test_spec& test);

}  // namespace bench

#endif
