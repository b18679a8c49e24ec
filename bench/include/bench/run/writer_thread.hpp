#ifndef BENCH_RUN_WRITER_THREAD_HPP
#define BENCH_RUN_WRITER_THREAD_HPP

#include <bench/cluster/relay.hpp>
#include <bench/error_log.hpp>
#include <bench/run/result_queue.hpp>

#include <atomic>
#include <cstdint>

namespace bench {

// The results a writer thread waits for: `expected` in all, less those that
// will never come because their worker failed, was never started or was
// stopped (the workers add them to `missing`).
struct expected_results {
    std::uint64_t expected = 0;
    std::atomic<std::uint64_t> missing{0};
};

// The body of a pass's writer thread. It takes each result of this rank's
// workers off the queue and hands it to the relay (which reports it, or sends
// it to rank 0), and gives the relay its turns, until every expected result
// has been taken or is missing and the relay is finished. Every result taken
// is freed, even when handing it on fails (the error goes to `errors`), so
// that no worker is left waiting on a full queue. While there is nothing to
// do it waits with detail::backoff, taking no processor time from the
// workers.
void run_writer(result_queue& queue, rank_relay& relay, expected_results& results,
                error_log& errors);

}  // namespace bench

#endif
