#ifndef BENCH_RUN_PASS_HPP
#define BENCH_RUN_PASS_HPP

#include <bench/cluster/cluster.hpp>
#include <bench/error_log.hpp>
#include <bench/report/reporter.hpp>
#include <bench/run/run.hpp>
#include <bench/settings.hpp>

#include <chrono>
#include <iosfwd>
#include <optional>

namespace bench {

// Whether a pass runs in the calling thread, which then draws the progress
// display of each test and reports each result itself: with one thread in a
// process of its own. Otherwise the rank's threads are workers, and a writer
// thread reports their results (or, on a rank other than 0, sends them on).
bool runs_in_calling_thread(const run_settings& settings, const cluster& ranks) noexcept;

// Where a pass writes and what it reports to.
struct pass_output {
    reporter* results;  // rank 0's reporter; null on the other ranks
    error_log& errors;
    std::ostream& out;  // the rank's console (the runners', unless several ranks run)
    std::ostream& err;
};

// How a pass ended.
struct pass_end {
    bool reports_closed = true;  // false: a report did not reach its file
    // From the start of the workers to the end of the last one (over several
    // ranks, to the end of every rank's results); none when the pass ran in
    // the calling thread or its workers could not all be started.
    std::optional<std::chrono::nanoseconds> elapsed;
    int remote_signal = 0;  // the signal that stopped another rank, 0 if none
};

// One pass over the suite on this rank: every thread runs every test in
// suite order, on a client of its own, and every result goes through the
// rank's relay to rank 0's reporter, which is closed at the end of the pass.
// The threads meet before each test with --lockstep, before the first over
// several ranks, and after each load of a mix test. An error in a thread
// ends that thread's part and is reported; a stop ends every thread's part
// before its next test.
pass_end run_pass(const run_setup& setup, cluster& ranks, const pass_output& output);

}  // namespace bench

#endif
