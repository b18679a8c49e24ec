// The timetable of open-loop tests: due times, late steps, stop requests.

#include <bench/interrupt.hpp>
#include <bench/step_schedule.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using clock_type = bench::step_schedule::clock;

TEST(StepSchedule, StepKIsDueAtT0PlusKPeriodsAndNeverStartsEarly)
{
    bench::step_schedule schedule(2000);  // every 0.5 ms
    std::vector<clock_type::time_point> dues;
    const auto before = clock_type::now();
    for (int k = 0; k < 20; ++k) {
        dues.push_back(schedule.wait_for_next_step());
        EXPECT_GE(clock_type::now(), dues.back()) << "step " << k;
    }
    EXPECT_GE(dues.front(), before);
    EXPECT_LT(dues.front() - before, 100ms) << "the first step is due at once";
    for (int k = 0; k < 20; ++k) EXPECT_EQ(dues[k] - dues[0], k * 500us) << "step " << k;
    EXPECT_LE(schedule.spin_window(), bench::step_schedule::widest_spin);
    EXPECT_GE(schedule.spin_window(), bench::step_schedule::narrowest_spin);
}

TEST(StepSchedule, LateStepsStartAtOnceAndAreNeverSkipped)
{
    bench::step_schedule schedule(1000);
    const auto t0 = schedule.wait_for_next_step();
    std::this_thread::sleep_until(t0 + 10500us);
    // Steps 1 to 10 were due during the sleep: they come back to back.
    const auto late_start = clock_type::now();
    for (int k = 1; k <= 10; ++k) EXPECT_EQ(schedule.wait_for_next_step() - t0, k * 1ms);
    EXPECT_LT(clock_type::now() - late_start, 50ms);
    // Step 11 is on time again, and waited for.
    EXPECT_EQ(schedule.wait_for_next_step() - t0, 11ms);
    EXPECT_GE(clock_type::now() - t0, 11ms);
}

TEST(StepSchedule, StopRequestEndsALongWaitPromptly)
{
    bench::step_schedule schedule(0.01);  // a step every 100 s
    schedule.wait_for_next_step();
    const auto start = clock_type::now();
    std::thread stopper([] {
        std::this_thread::sleep_for(50ms);
        bench::request_interrupt(SIGINT);
    });
    EXPECT_THROW(schedule.wait_for_next_step(), bench::interrupted_error);
    const auto waited = clock_type::now() - start;
    stopper.join();
    bench::detail::interrupt_signal.store(0);
    EXPECT_GE(waited, 50ms);
    EXPECT_LT(waited, 1s) << "generous for a loaded machine; a wait sleeps at most "
                          << bench::step_schedule::longest_sleep.count() << " ns at a time";
}

}  // namespace
