#ifndef BENCH_RUN_RUN_FACTS_HPP
#define BENCH_RUN_RUN_FACTS_HPP

#include <bench/host_info.hpp>

#include <chrono>
#include <string>
#include <vector>

namespace bench {

// What is known of a run besides its settings and its tests, for its JSON
// report.
struct run_facts {
    std::vector<std::string> command_line;              // the argument list, program first
    std::chrono::system_clock::time_point started_at;
    std::vector<rank_facts> ranks;  // every rank of a run over several ranks; empty otherwise
};

// How a run ended.
struct run_ending {
    int interrupt_signal = 0;         // the signal that stopped the run, 0 if none
    std::vector<std::string> errors;  // the run's "Error in benchmark" messages
};

}  // namespace bench

#endif
