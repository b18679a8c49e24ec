#ifndef BENCH_RUN_START_HPP
#define BENCH_RUN_START_HPP

#include <bench/cluster/cluster.hpp>
#include <bench/command_line.hpp>
#include <bench/run/run.hpp>
#include <bench/settings.hpp>

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

// The steps before a run, which every rank takes together. Rank 0 prints on
// out and err; the other ranks print nothing but their own command-line
// errors, help and version.
namespace bench {

// The command line of this rank (every rank parses its own, so that the
// ranks of an MPMD launch can reach different stores). Rank 0 checks the
// files it names; the others print the help or the version they were asked
// for, and their errors as "rank N: " lines (the help that follows an error
// is left out, as rank 0's says the same). A command line that ends the run
// on any rank ends it on all of them: the outcome then has no settings and
// the exit status 1 when any was wrong, else 0 (the help).
command_line_outcome read_command_line(cluster& ranks, int argc, char* argv[], std::ostream& out,
                                       std::ostream& err);

// Rank 0 loads the suite ("loading test file: PATH...") and shares it with
// the other ranks, with its choice of --lockstep; every rank's machine,
// threads and store go to rank 0, which prints each store once
// ("connecting to ENDPOINT"); thread numbers go on from those of the ranks
// before. Empty, after "Error in benchmark: " and the reason on rank 0's err,
// when the suite could not be loaded.
std::optional<run_setup> set_up_run(cluster& ranks, const run_settings& settings,
                                    std::vector<std::string> command_line, std::ostream& out,
                                    std::ostream& err);

}  // namespace bench

#endif
