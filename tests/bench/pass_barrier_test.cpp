#include <bench/pass_barrier.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

TEST(PassBarrier, EveryRoundWaitsForAllThreadsStillInThePass)
{
    constexpr int rounds = 200;
    bench::pass_barrier barrier(3);
    std::array<std::atomic<int>, 3> reached{};
    std::atomic<bool> ahead{false};
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < reached.size(); ++t) {
        threads.emplace_back([&, t] {
            for (int round = 1; round <= rounds; ++round) {
                reached[t] = round;
                barrier.arrive_and_wait();
                for (const auto& other : reached)
                    if (other < round) ahead = true;
            }
            barrier.leave();
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_FALSE(ahead) << "a thread went on before all had arrived";
}

TEST(PassBarrier, AThreadThatLeavesReleasesThoseWaiting)
{
    bench::pass_barrier barrier(3);
    std::atomic<int> through{0};
    const auto pass_twice = [&] {
        barrier.arrive_and_wait();
        ++through;
        barrier.arrive_and_wait();
        ++through;
        barrier.leave();
    };
    std::thread first(pass_twice), second(pass_twice);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(through, 0) << "two of three arrived";
    barrier.leave();  // the third thread's client could not be built
    first.join();
    second.join();
    EXPECT_EQ(through, 4);
}

TEST(PassBarrier, AGatedRoundGoesOnlyWhenOpened)
{
    bench::pass_barrier barrier(2, true);
    EXPECT_FALSE(barrier.round_complete());
    std::atomic<int> through{0};
    const auto pass_once = [&] {
        barrier.arrive_and_wait();
        ++through;
        barrier.leave();
    };
    std::thread first(pass_once), second(pass_once);
    while (!barrier.round_complete()) std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(through, 0) << "all arrived, but the gate is closed";
    barrier.open();
    first.join();
    second.join();
    EXPECT_EQ(through, 2);
    EXPECT_TRUE(barrier.round_complete()) << "no thread left to wait for";
}

}  // namespace
