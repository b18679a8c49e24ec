#ifndef BENCH_CLUSTER_RELAY_HPP
#define BENCH_CLUSTER_RELAY_HPP

#include <bench/cluster/cluster.hpp>
#include <bench/error_log.hpp>
#include <bench/pass_barrier.hpp>
#include <bench/report/reporter.hpp>
#include <bench/result_record.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <iosfwd>

namespace bench {

// The reporting side of one rank of a run, used by one thread at a time: the
// rank's writer thread, or the thread that runs a pass alone. Rank 0 reports
// everything: its own results, and those of the other ranks as they arrive,
// printed, recorded and merged like its own; it prints the other ranks'
// errors too. Every other rank sends its results and errors to rank 0 and
// prints nothing. A process that is a cluster of its own hands its results
// to its reporter and has nothing else to do.
//
// A signal that stops one rank stops them all: the rank tells rank 0, which
// gives every other rank notice of it, and each then stops as if the signal
// were its own (the interrupt flag is set as the signal handler sets it).
//
// The relay also holds the meetings of all ranks for this rank's threads:
// a round of the rank's gated barrier is let go once the threads of every
// rank have reached it. The first meeting is the start of the pass, after
// every thread has built its client; this rank's times count from the moment
// it is let go.
class rank_relay {
public:
    // `results` is rank 0's reporter (null elsewhere); `meetings` is how
    // many rounds every rank's barrier holds; `origin` is set when the first
    // is let go; `err` is where rank 0 prints the other ranks' failed tests.
    rank_relay(cluster& ranks, reporter* results, error_log& errors, pass_barrier& barrier,
               std::size_t meetings, std::chrono::steady_clock::time_point& origin,
               std::ostream& err);

    // A result of this rank's threads; its rank is set here.
    void take(result_record& record);

    // Does whatever can be done without waiting: takes what arrived from
    // other ranks, passes a stop and new errors on, holds the next meeting,
    // and once this rank has taken all its results (`rank_done`), says so to
    // rank 0. True when it did anything.
    bool turn(bool rank_done);

    // Every meeting held, and every rank done (rank 0), or everything of
    // this rank sent (the others).
    bool finished();

    // The signal that stopped another rank, 0 when none did.
    int remote_signal() const noexcept { return remote_signal_; }

private:
    bool hold_meetings();
    bool receive();
    bool pass_stop_on();
    bool pass_errors_on();

    cluster& ranks_;
    reporter* results_;
    error_log& errors_;
    pass_barrier& barrier_;
    const std::size_t meetings_;
    std::chrono::steady_clock::time_point& origin_;
    std::ostream& err_;

    std::size_t held_ = 0;            // meetings held so far
    bool meeting_begun_ = false;
    std::size_t errors_sent_ = 0;
    bool done_sent_ = false;
    std::uint32_t ranks_done_ = 0;    // rank 0: other ranks that said they are done
    int remote_signal_ = 0;
    bool stop_passed_ = false;        // this rank's part in passing a stop on is done
};

}  // namespace bench

#endif
