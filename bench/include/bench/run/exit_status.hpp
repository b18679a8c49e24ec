#ifndef BENCH_RUN_EXIT_STATUS_HPP
#define BENCH_RUN_EXIT_STATUS_HPP

namespace bench {

// How a run came out, as far as its exit status goes.
struct run_outcome {
    bool error = false;           // an error came up, or a report did not reach its file
    int signal = 0;               // the signal that stopped this process, 0 if none
    int remote_signal = 0;        // the signal that stopped another rank, 0 if none
    bool strict_failure = false;  // --strict, and tests failed
};

// The signal that stopped the run: this process's own first, then another
// rank's; 0 when none did.
constexpr int stop_signal(const run_outcome& outcome) noexcept {
    return outcome.signal != 0 ? outcome.signal : outcome.remote_signal;
}

// The exit status of a run, in this order of precedence: 1 after an error,
// 128 + N after a stop by signal N (as a shell reports a process ended by
// it), 3 after failed tests under --strict, else 0.
constexpr int exit_status(const run_outcome& outcome) noexcept {
    if (outcome.error) return 1;
    if (const int signal = stop_signal(outcome); signal != 0) return 128 + signal;
    if (outcome.strict_failure) return 3;
    return 0;
}

}  // namespace bench

#endif
