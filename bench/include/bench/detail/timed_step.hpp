#ifndef BENCH_DETAIL_TIMED_STEP_HPP
#define BENCH_DETAIL_TIMED_STEP_HPP

#include <bench/interrupt.hpp>
#include <bench/step_schedule.hpp>
#include <bench/test_result.hpp>

#include <chrono>
#include <cstdint>

// The timing of one step, shared by every test kind.
namespace bench::detail {

// The clock readings of one step: when it was due (its start in closed
// loop), when its calls began and when they returned.
struct step_times {
    test_result::time_point due;
    test_result::time_point start;
    test_result::time_point end;
};

// The step's client calls run between two clock readings and nothing else
// does: keys and values are made before, checks, recording and output after.
// A stopped run ends the test here, between two steps, never inside one. In
// open loop the wait for the step's due time comes before the first clock
// reading.
template <typename Calls>
step_times time_step(test_result& result, step_schedule* schedule, Calls&& calls)
{
    if (interrupt_requested()) {
        throw interrupted_error();
    }
    if (schedule == nullptr) {
        result.iteration_start = std::chrono::steady_clock::now();
        calls();
        const auto end = std::chrono::steady_clock::now();
        return {result.iteration_start, result.iteration_start, end};
    }
    const auto due = schedule->wait_for_next_step();
    result.iteration_start = std::chrono::steady_clock::now();
    calls();
    const auto end = std::chrono::steady_clock::now();
    return {due, result.iteration_start, end};
}

// Records a step that time_step timed, with its bytes: in open loop from its
// due time.
inline void record_timed_step(test_result& result, step_schedule* schedule, std::uint64_t bytes,
                              const step_times& times)
{
    if (schedule == nullptr) {
        record_step(result, bytes, times.start, times.end);
    } else {
        record_scheduled_step(result, bytes, times.due, times.start, times.end);
    }
}

// A step timed and recorded with a byte amount known before it. The bytes
// and the duration are recorded only when the calls returned, so a call that
// throws leaves result as it was.
template <typename Calls>
void timed_step(test_result& result, step_schedule* schedule, std::uint64_t bytes, Calls&& calls)
{
    record_timed_step(result, schedule, bytes, time_step(result, schedule, calls));
}

}  // namespace bench::detail

#endif
