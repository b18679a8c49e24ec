#include <bench/step_schedule.hpp>

#include <bench/interrupt.hpp>

#include <algorithm>
#include <thread>

#ifdef __linux__
#include <sys/prctl.h>
#endif

namespace bench {

namespace {

std::int64_t nanoseconds_of(step_schedule::clock::duration span) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(span).count();
}

// A due time this far from t0 (about 127 years) is as good as never.
constexpr double furthest_due_ns = 4e18;

// How much earlier than its due time a sleep may end without narrowing the
// spin window: the spin that is always left for the clock's own jitter.
constexpr std::int64_t spare_spin_ns = 5000;

// Tells the processor that this is a spin, where it has a way to be told.
inline void spin_pause() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

}  // namespace

step_schedule::step_schedule(double steps_per_second) : period_ns_(1e9 / steps_per_second) {
#ifdef PR_SET_TIMERSLACK
    // Linux lets a sleep end up to the thread's timer slack (50 us by
    // default) late, which would make every step late.
    const int slack = ::prctl(PR_GET_TIMERSLACK, 0UL, 0UL, 0UL, 0UL);
    if (slack > 1 && ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL) == 0) saved_timer_slack_ = slack;
#endif
}

step_schedule::~step_schedule() {
#ifdef PR_SET_TIMERSLACK
    if (saved_timer_slack_ > 0)
        ::prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(saved_timer_slack_), 0UL, 0UL, 0UL);
#endif
}

step_schedule::time_point step_schedule::due_time(std::uint64_t step) const noexcept {
    const double offset_ns = std::min(static_cast<double>(step) * period_ns_, furthest_due_ns);
    return first_due_ + std::chrono::nanoseconds(static_cast<std::int64_t>(offset_ns));
}

step_schedule::time_point step_schedule::next_due() const noexcept {
    return next_step_ == 0 ? clock::now() : due_time(next_step_);
}

step_schedule::time_point step_schedule::wait_for_next_step() {
    time_point now = clock::now();
    if (next_step_ == 0) first_due_ = now;
    const time_point due = due_time(next_step_++);
    while (now < due) {
        if (interrupt_requested()) throw interrupted_error();
        const std::int64_t left_ns = nanoseconds_of(due - now);
        if (left_ns <= spin_ns_) {
            spin_pause();
            now = clock::now();
            continue;
        }
        // Sleep up to the spin window, in pieces no longer than longest_sleep.
        const std::int64_t sleep_ns = std::min(left_ns - spin_ns_, longest_sleep.count());
        std::this_thread::sleep_for(std::chrono::nanoseconds(sleep_ns));
        now = clock::now();
        if (sleep_ns == left_ns - spin_ns_) adapt(nanoseconds_of(due - now));
    }
    return due;
}

void step_schedule::adapt(std::int64_t woke_before_due_ns) noexcept {
    if (woke_before_due_ns < 0) {
        spin_ns_ = std::min(spin_ns_ - woke_before_due_ns, widest_spin.count());
    } else if (woke_before_due_ns > spare_spin_ns) {
        spin_ns_ = std::max(spin_ns_ - (woke_before_due_ns - spare_spin_ns) / 16,
                            narrowest_spin.count());
    }
}

}  // namespace bench
