#ifndef BENCH_STEP_SCHEDULE_HPP
#define BENCH_STEP_SCHEDULE_HPP

#include <chrono>
#include <cstdint>

namespace bench {

// The timetable of one open-loop test on one thread: step k is due at
// t0 + k / rate, t0 being the moment the first step is asked for. Before each
// step the thread waits here, outside the timed region: it sleeps while the
// due time is far and spins only for the last few tens of microseconds (the
// spin window), so that a thread at a low rate takes little processor time
// and a step still starts within microseconds of its due time. A step that is
// already late is due at once; steps are never skipped, so a thread that fell
// behind runs its late steps back to back until it is on time again.
class step_schedule {
public:
    using clock = std::chrono::steady_clock;
    using time_point = clock::time_point;

    // The spin window starts at its widest and narrows to how late this
    // machine wakes a sleeping thread; a sleep is never longer than
    // longest_sleep, so that a stop request is seen within about that long.
    static constexpr std::chrono::nanoseconds narrowest_spin{std::chrono::microseconds(5)};
    static constexpr std::chrono::nanoseconds widest_spin{std::chrono::microseconds(50)};
    static constexpr std::chrono::nanoseconds longest_sleep{std::chrono::milliseconds(2)};

    // steps_per_second must be above 0. On Linux the thread's timer slack is
    // made as small as it goes, so that a sleep ends when it was asked to.
    explicit step_schedule(double steps_per_second);
    ~step_schedule();  // gives the thread its timer slack back

    step_schedule(const step_schedule&) = delete;
    step_schedule& operator=(const step_schedule&) = delete;

    // Waits until the next step is due and returns its due time (on the first
    // call: now, which becomes t0). Throws interrupted_error when a stop is
    // requested while waiting.
    time_point wait_for_next_step();
    // When the next step will be due, without waiting: before the first step,
    // now.
    time_point next_due() const noexcept;

    std::chrono::nanoseconds spin_window() const noexcept {
        return std::chrono::nanoseconds(spin_ns_);
    }

private:
    time_point due_time(std::uint64_t step) const noexcept;
    // Widens the spin window after a sleep that ended past its due time, and
    // narrows it a little after one that left more to spin than needed.
    void adapt(std::int64_t woke_before_due_ns) noexcept;

    double period_ns_;
    std::uint64_t next_step_ = 0;
    time_point first_due_{};
    std::int64_t spin_ns_ = widest_spin.count();
    long saved_timer_slack_ = -1;  // the thread's slack before, when it was changed
};

}  // namespace bench

#endif
