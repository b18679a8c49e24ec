#ifndef BENCH_SRC_WORKLOAD_MIX_THREAD_HPP
#define BENCH_SRC_WORKLOAD_MIX_THREAD_HPP

#include <bench/client.hpp>
#include <bench/detail/timed_step.hpp>
#include <bench/pipeline/connection_set.hpp>
#include <bench/step_schedule.hpp>
#include <bench/test_result.hpp>
#include <bench/workload/key_chooser.hpp>
#include <bench/workload/mix.hpp>
#include <bench/workload/mix_kind.hpp>

#include <boost/timer/progress_display.hpp>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace bench::detail {

// The progress ticks of a mix test that runs for a time: they follow the
// clock over the warm-up and the duration.
constexpr std::uint64_t mix_time_ticks = 100;

using clock = std::chrono::steady_clock;

clock::duration seconds(double count);
// Whether the operation writes a value; whether it reads one.
bool writes(operation op);
bool reads(operation op);
// Sizes come from the suite file as 64-bit numbers; where they size a buffer
// they must fit std::size_t without being cut.
std::size_t to_size(std::uint64_t n);
// The first key of thread t's share of the load: t * keys / threads,
// without overflow.
std::uint64_t share_start(std::uint64_t keys, std::uint32_t t, std::uint32_t threads);
// Whether the next step would be due before `until` (always in closed
// loop): a schedule's step due later would end the test late.
bool due_before(step_schedule* schedule, clock::time_point until);
// Records a counted step into the result and into its operation's figures.
void record(operation op, bool hit, std::uint64_t bytes, const step_times& times,
            test_result& result, step_schedule* schedule);

// The progress display of a test that runs for a time: its ticks follow the
// clock over the warm-up and the duration, and all are shown at the end.
class time_ticks {
public:
    time_ticks(boost::timer::progress_display* progress, const mix& test, clock::time_point start)
        : progress_(test.duration > 0 ? progress : nullptr),
          start_(start),
          total_ns_(std::chrono::duration<double, std::nano>(seconds(test.warmup + test.duration))
                        .count())
    {
    }

    void advance(clock::time_point now)
    {
        if (progress_ == nullptr) return;
        const double elapsed_ns = std::chrono::duration<double, std::nano>(now - start_).count();
        const double share = total_ns_ > 0 ? elapsed_ns / total_ns_ : 1;
        show(static_cast<std::uint64_t>(std::min(share, 1.0) * ticks));
    }
    void finish() { show(ticks); }

    static constexpr std::uint64_t ticks = mix_time_ticks;

private:
    void show(std::uint64_t target)
    {
        if (progress_ == nullptr) return;
        for (; shown_ < target; ++shown_) ++*progress_;
    }

    boost::timer::progress_display* progress_;
    clock::time_point start_;
    double total_ns_;
    std::uint64_t shown_ = 0;
};

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
    // The same over a thread's connections, many steps in flight.
    void load(connection_set& connections);
    void run(connection_set& connections, boost::timer::progress_display* progress,
             test_result& result, step_schedule* schedule);

private:
    class load_steps;
    class mix_steps;

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
