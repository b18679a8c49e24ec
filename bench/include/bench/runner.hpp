#ifndef BENCH_RUNNER_HPP
#define BENCH_RUNNER_HPP

#include <bench/test_result.hpp>
#include <bench/test_spec.hpp>
#include <bench/thread_context.hpp>

#include <iosfwd>

namespace bench {

// Runs one test on the context's client. A single-thread run draws its
// progress display on out. Never throws a std::exception: a failed test is
// reported on err ("test failed: " and the reason) and returned with success
// false and the reason in failure.
test_result run_test(thread_context& context, const test_spec& test, std::ostream& out,
                     std::ostream& err);

}  // namespace bench

#endif
