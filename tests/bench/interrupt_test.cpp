// The stop signals' handler, each case in a child process of its own.

#include <bench/interrupt.hpp>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <functional>

namespace {

// Installs the handlers, runs `before`, then exits with 0 when the run's
// stop is `expected`.
void stop_is(int expected, const std::function<void()>& before) {
    bench::install_interrupt_handlers();
    before();
    std::exit(bench::interrupt_signal() == expected ? 0 : 1);
}

TEST(InterruptDeathTest, TheFirstSignalStopsTheRunAndASecondEndsTheProcess) {
    EXPECT_EXIT(stop_is(SIGTERM, [] { std::raise(SIGTERM); }), testing::ExitedWithCode(0), "");
    EXPECT_EXIT(stop_is(SIGINT, [] {
                    std::raise(SIGINT);
                    std::raise(SIGTERM);
                }),
                testing::KilledBySignal(SIGTERM), "");
    // A stop passed on from another rank is no signal of this process: the
    // first signal that follows still only stops the run.
    EXPECT_EXIT(stop_is(SIGINT, [] {
                    bench::request_interrupt(SIGINT);
                    std::raise(SIGTERM);
                }),
                testing::ExitedWithCode(0), "");
}

}  // namespace
