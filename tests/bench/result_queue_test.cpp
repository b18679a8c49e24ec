// The hand-over of results from the workers of a pass to its writer thread:
// the queue, and the writer thread, which takes everything and waits without
// taking processor time.

#include <bench/run/result_queue.hpp>
#include <bench/run/writer_thread.hpp>

#include "allocation_meter.hpp"
#include "recording_reporter.hpp"

#include <support/process.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

std::unique_ptr<bench::result_record> owned(std::uint32_t thread) {
    return std::make_unique<bench::result_record>(kvtest::record_of(thread, "a test"));
}

std::chrono::nanoseconds thread_cpu_time() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

// A writer thread of a process alone, reporting to `results`.
struct writer_bench {
    explicit writer_bench(bench::reporter& results)
        : ranks(bench::single_process_cluster()),
          relay(*ranks, &results, errors, barrier, 0, origin, err) {}

    void run() { bench::run_writer(queue, relay, expected, errors); }

    std::ostringstream err;
    bench::error_log errors{err};
    bench::pass_barrier barrier{1};
    std::chrono::steady_clock::time_point origin;
    std::unique_ptr<bench::cluster> ranks;
    bench::rank_relay relay;
    bench::result_queue queue;
    bench::expected_results expected;
};

TEST(ResultQueue, HoldsAFixedNumberInOrderAndFreesWhatIsLeft) {
    const kvtest::allocation_meter meter;
    {
        bench::result_queue queue;
        for (std::uint32_t thread = 0; thread < bench::result_queue::capacity; ++thread) {
            auto record = owned(thread);
            ASSERT_TRUE(queue.try_push(record)) << thread;
            EXPECT_EQ(record, nullptr);
        }
        auto one_too_many = owned(999);
        EXPECT_FALSE(queue.try_push(one_too_many));
        ASSERT_NE(one_too_many, nullptr) << "a refused record stays with its owner";
        for (std::uint32_t thread = 0; thread < 3; ++thread)
            EXPECT_EQ(queue.try_pop()->thread_number, thread);
    }
    EXPECT_EQ(meter.held(), 0u) << "the records left in the queue were not freed";
}

// Three workers push more results than the queue holds while every report
// fails: the writer takes, frees and counts each, and nobody is left waiting.
TEST(WriterThread, TakesAndFreesEveryResultEvenWhenReportingFails) {
    constexpr std::uint32_t workers = 3, each = 100;
    kvtest::recording_reporter failing(true);
    {
        writer_bench writer(failing);
        const kvtest::allocation_meter meter;
        writer.expected.expected = workers * each;
        std::thread writer_thread([&] { writer.run(); });
        std::vector<std::thread> pushing;
        for (std::uint32_t thread = 0; thread < workers; ++thread)
            pushing.emplace_back([&, thread] {
                for (std::uint32_t i = 0; i < each; ++i) writer.queue.push(owned(thread));
            });
        for (std::thread& worker : pushing) worker.join();
        writer_thread.join();
        EXPECT_EQ(writer.errors.messages().size(), workers * each);
        EXPECT_EQ(kvtest::count_of(writer.err.str(), "Error in benchmark: cannot report\n"),
                  workers * each);
        EXPECT_EQ(writer.queue.try_pop(), nullptr);
        // A record holds its histogram (about 31 KiB): what is still held is
        // the error log's messages alone.
        EXPECT_LT(meter.held(), 64u * 1024) << "records were not freed";
    }
}

// Results whose worker failed or was stopped never come: the writer ends
// once those that came and those missing make up the count.
TEST(WriterThread, StopsWaitingForResultsThatWillNotCome) {
    kvtest::recording_reporter results;
    writer_bench writer(results);
    writer.expected.expected = 10;
    for (std::uint32_t thread = 0; thread < 4; ++thread) writer.queue.push(owned(thread));
    std::thread writer_thread([&] { writer.run(); });
    std::this_thread::sleep_for(50ms);
    writer.expected.missing += 6;
    writer_thread.join();
    EXPECT_EQ(results.taken.size(), 4u);
    EXPECT_EQ(writer.errors.messages(), std::vector<std::string>{});
}

// A wait of 300 ms, the writer's on an empty queue and a worker's on a full
// one, takes a small part of that in processor time: nobody spins.
TEST(WriterThread, WaitingTakesNoProcessorTime) {
    struct wait_case {
        const char* name;
        std::function<void(writer_bench&)> before;  // makes the wait
        std::function<void(writer_bench&)> waits;   // runs on the waiting thread
        std::function<void(writer_bench&)> after;   // ends the wait
    };
    const wait_case cases[] = {
        {"the writer on an empty queue", [](writer_bench& w) { w.expected.expected = 1; },
         [](writer_bench& w) { w.run(); }, [](writer_bench& w) { w.queue.push(owned(0)); }},
        {"a worker on a full queue",
         [](writer_bench& w) {
             for (std::uint32_t i = 0; i < bench::result_queue::capacity; ++i)
                 w.queue.push(owned(i));
         },
         [](writer_bench& w) { w.queue.push(owned(0)); },
         [](writer_bench& w) { w.queue.try_pop(); }},
    };
    for (const wait_case& c : cases) {
        SCOPED_TRACE(c.name);
        kvtest::recording_reporter results;
        writer_bench writer(results);
        c.before(writer);
        std::chrono::nanoseconds used{};
        std::thread waiting([&] {
            const auto start = thread_cpu_time();
            c.waits(writer);
            used = thread_cpu_time() - start;
        });
        std::this_thread::sleep_for(300ms);
        c.after(writer);
        waiting.join();
        EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(used).count(), 60)
            << "ms of processor time";
    }
}

}  // namespace
