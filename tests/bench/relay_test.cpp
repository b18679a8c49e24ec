// The relay of each rank of a run over several ranks, on ranks that live in
// this process (tests/support/fake_cluster): results, errors, meetings and a
// stop reach rank 0, which reports them.

#include <bench/cluster/relay.hpp>
#include <bench/interrupt.hpp>

#include "recording_reporter.hpp"

#include <support/fake_cluster.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <deque>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// Every rank's relay over `ranks`, each with a gated barrier of one thread
// and `meetings` meetings; rank 0 reports to `results`.
struct relays {
    struct rank_side {
        rank_side(bench::cluster& rank, bench::reporter* results, std::size_t meetings)
            : errors(err, "rank " + std::to_string(rank.rank()) + ": "),
              relay(rank, results, errors, barrier, meetings, origin, err) {}

        std::ostringstream err;
        bench::error_log errors;
        bench::pass_barrier barrier{1, true};
        std::chrono::steady_clock::time_point origin;
        bench::rank_relay relay;
    };

    relays(std::uint32_t size, std::size_t meetings) : ranks(size) {
        for (std::uint32_t rank = 0; rank < size; ++rank)
            sides.emplace_back(ranks[rank], rank == 0 ? &results : nullptr, meetings);
    }

    // Turns every relay, the ranks in `done` saying they took all their
    // results, until `until` holds; false after `limit` without it.
    bool turn_until(const std::function<bool()>& until, const std::vector<bool>& done,
                    std::chrono::milliseconds limit = 2s) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!until()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            for (std::size_t rank = 0; rank < sides.size(); ++rank)
                sides[rank].relay.turn(done[rank]);
        }
        return true;
    }
    bool all_finished() {
        for (rank_side& side : sides)
            if (!side.relay.finished()) return false;
        return true;
    }

    kvtest::fake_ranks ranks;
    kvtest::recording_reporter results;
    std::deque<rank_side> sides;
};

// The interrupt flag is the process's: whatever a test sets, it clears.
struct interrupt_cleared {
    ~interrupt_cleared() { bench::detail::interrupt_signal = 0; }
};

TEST(RankRelay, OtherRanksResultsAndErrorsAreReportedOnRankZero) {
    relays run(3, 0);
    bench::result_record own = kvtest::record_of(0, "own");
    bench::result_record passed = kvtest::record_of(1, "passed");
    bench::result_record failed = kvtest::record_of(2, "failed", "cannot put entry");
    run.sides[0].relay.take(own);
    run.sides[1].relay.take(passed);
    run.sides[2].relay.take(failed);
    run.sides[2].errors.report("cannot connect");

    // Rank 2 has not taken all its results yet: rank 0 waits for it.
    ASSERT_TRUE(run.turn_until([&] { return run.results.taken.size() == 3; },
                               {true, true, false}));
    EXPECT_FALSE(run.sides[0].relay.finished());
    ASSERT_TRUE(run.turn_until([&] { return run.all_finished(); }, {true, true, true}));

    ASSERT_EQ(run.results.taken.size(), 3u);
    for (const kvtest::taken_result& result : run.results.taken)
        EXPECT_EQ(result.rank, result.thread) << result.description;
    EXPECT_EQ(run.sides[0].errors.messages(), std::vector<std::string>{"rank 2: cannot connect"});
    EXPECT_EQ(run.sides[0].err.str(),
              "\ntest failed: cannot put entry\nError in benchmark: rank 2: cannot connect\n");
    EXPECT_EQ(run.sides[0].relay.remote_signal(), 0);
}

// A meeting lets the threads of every rank go together, once all have come.
TEST(RankRelay, AMeetingIsHeldOnceTheThreadsOfEveryRankHaveArrived) {
    relays run(2, 1);
    std::atomic<int> released{0};
    std::thread first([&] {
        run.sides[0].barrier.arrive_and_wait();
        ++released;
    });
    EXPECT_FALSE(run.turn_until([&] { return released > 0; }, {false, false}, 200ms))
        << "rank 0's thread went on alone";
    std::thread second([&] {
        run.sides[1].barrier.arrive_and_wait();
        ++released;
    });
    EXPECT_TRUE(run.turn_until([&] { return released == 2; }, {false, false}));
    first.join();
    second.join();
    for (const auto& side : run.sides)
        EXPECT_NE(side.origin, std::chrono::steady_clock::time_point{})
            << "times count from the first meeting";
    EXPECT_TRUE(run.turn_until([&] { return run.all_finished(); }, {true, true}));
}

// Ranks share this process's interrupt flag, so the stop is seen by all of
// them at once: what is shown is what passes between them.
TEST(RankRelay, AStopReachesRankZeroWhichGivesNoticeOfItsSignal) {
    const interrupt_cleared cleared;
    relays run(3, 0);
    bench::request_interrupt(SIGTERM);
    ASSERT_TRUE(run.turn_until([&] { return run.all_finished(); }, {true, true, true}));
    EXPECT_EQ(run.ranks.notice(), SIGTERM);
    EXPECT_EQ(run.sides[0].relay.remote_signal(), SIGTERM);
}

}  // namespace
