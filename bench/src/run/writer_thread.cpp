#include <bench/run/writer_thread.hpp>

#include <bench/detail/wait.hpp>

#include <exception>
#include <memory>

#ifdef KVBENCH_REPORT_WRITER_CPU
#include <iostream>
#include <string>

#include <sys/resource.h>
#endif

namespace bench {

namespace {

#ifdef KVBENCH_REPORT_WRITER_CPU
// Overhead measurements only: how much processor time the writer's waiting
// took from the workers, printed when the writer ends.
void report_writer_cpu() {
#ifdef RUSAGE_THREAD
    rusage usage{};
    if (getrusage(RUSAGE_THREAD, &usage) != 0) return;
    const double milliseconds =
        static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
        static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
    std::cerr << ("writer cpu time: " + std::to_string(milliseconds) + " ms\n") << std::flush;
#endif
}
#endif

}  // namespace

void run_writer(result_queue& queue, rank_relay& relay, expected_results& results,
                error_log& errors) {
    std::uint64_t handled = 0;
    detail::backoff wait;
    for (;;) {
        const bool rank_done = handled + results.missing.load() >= results.expected;
        if (rank_done && relay.finished()) break;
        bool busy = false;
        if (!rank_done) {
            if (const std::unique_ptr<result_record> record = queue.try_pop()) {
                ++handled;
                busy = true;
                try {
                    relay.take(*record);
                } catch (const std::exception& error) {
                    errors.report(error.what());
                }
            }
        }
        try {
            if (relay.turn(rank_done)) busy = true;
        } catch (const std::exception& error) {
            errors.report(error.what());
        }
        if (busy) {
            wait.reset();
        } else {
            wait();
        }
    }
#ifdef KVBENCH_REPORT_WRITER_CPU
    report_writer_cpu();
#endif
}

}  // namespace bench
