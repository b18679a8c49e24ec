#ifndef BENCH_RUN_RUN_HPP
#define BENCH_RUN_RUN_HPP

#include <bench/cluster/cluster.hpp>
#include <bench/run/exit_status.hpp>
#include <bench/run/run_facts.hpp>
#include <bench/settings.hpp>
#include <bench/test_spec.hpp>

#include <cstdint>
#include <iosfwd>
#include <vector>

namespace bench {

// What a rank knows of the run before its pass (set_up_run gathers it).
struct run_setup {
    run_settings settings;
    std::vector<test_spec> tests;   // the suite, in file order
    run_facts facts;                // for the JSON report (rank 0's)
    std::uint32_t first_thread = 0; // this rank's first thread number
    std::uint32_t all_threads = 0;  // the threads of every rank
};

// The run of one rank: one pass over the suite on the rank's threads, then
// the closing line, the aggregates, the JSON report and the --strict count.
// `ranks` are the ranks of the run (the cluster of this process alone
// outside an MPI launch); rank 0 prints on out and err and reports every
// rank's results, the other ranks print nothing. The outcome is rank 0's
// (the other ranks' is empty: rank 0 decides the exit status of all).
// Errors of the run are printed, counted in the outcome and written into the
// JSON report; what escapes is an error that left no report (a thread that
// could not be started for the writer).
run_outcome run(const run_setup& setup, cluster& ranks, std::ostream& out, std::ostream& err);

}  // namespace bench

#endif
