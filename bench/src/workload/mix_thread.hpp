#ifndef BENCH_SRC_WORKLOAD_MIX_THREAD_HPP
#define BENCH_SRC_WORKLOAD_MIX_THREAD_HPP

#include <bench/client.hpp>
#include <bench/detail/timed_step.hpp>
#include <bench/step_schedule.hpp>
#include <bench/test_result.hpp>
#include <bench/workload/key_chooser.hpp>
#include <bench/workload/mix.hpp>
#include <bench/workload/mix_kind.hpp>

#include <boost/timer/progress_display.hpp>

#include <cstdint>
#include <memory>
#include <string>

namespace bench::detail {

// The progress ticks of a mix test that runs for a time: they follow the
// clock over the warm-up and the duration.
constexpr std::uint64_t mix_time_ticks = 100;

// One thread's part of a mix test: its share of the load and its steps. Its
// buffers are made once, at their largest, so that a step allocates nothing
// of ours: the key is formatted and the value made into them before the
// step, and the reads land in a buffer that keeps its capacity.
class mix_thread {
public:
    // Throws std::length_error when the test's largest value cannot be held.
    mix_thread(const mix& test, const mix_place& place);

    // Writes this thread's share of the key space, each key once.
    void load(client& store);

    // The warm-up, then the counted steps (execute in mix_kind.hpp).
    void run(client& store, boost::timer::progress_display* progress, test_result& result,
             step_schedule* schedule);

private:
    std::uint64_t next_version();
    step_times step(client& store, test_result& result, step_schedule* schedule, bool counted);

    const mix& test_;
    mix_place place_;
    std::unique_ptr<newest_key> own_newest_;  // latest, when the place brings none
    key_chooser chooser_;
    std::uint64_t writes_ = 0;                // this thread's writes in this test
    std::string key_;
    std::string value_;
    std::string read_;
};

}  // namespace bench::detail

#endif
