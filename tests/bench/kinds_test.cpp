#include <bench/kinds.hpp>

#include "recording_client.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using kvtest::recording_client;
namespace acc = boost::accumulators;

bench::test_result run_kind(const bench::test_spec& test, recording_client& store,
                            boost::timer::progress_display* progress = nullptr)
{
    bench::test_result result;
    boost::apply_visitor([&](const auto& kind) { bench::execute(kind, store, progress, result); },
                         test);
    return result;
}

// Runs a kind that must fail; returns the failure's message.
std::string failure_of(const bench::test_spec& test, recording_client& store,
                       bench::test_result& result)
{
    try {
        boost::apply_visitor(
            [&](const auto& kind) { bench::execute(kind, store, nullptr, result); }, test);
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "no failure";
}

std::string key_number(const std::string& key)
{
    return key.substr(key.rfind('/') + 1);
}

std::string key_numbers(const recording_client& store)
{
    std::string text;
    for (const auto& call : store.calls) {
        text += (text.empty() ? "" : " ") + key_number(call.key);
    }
    return text;
}

TEST(Kinds, DescribeTheirTest)
{
    const struct {
        bench::test_spec test;
        const char* text;
    } cases[] = {
        {bench::single_put_multiple_get{1024, 1000},
         "putting 1.0 KiB once and getting it 1000 times"},
        {bench::multiple_put{1024, 1000}, "putting 1000 entries of 1.0 KiB"},
        {bench::multiple_put_remain{1024, 1000},
         "putting 1000 entries of 1.0 KiB and do not remove them"},
        {bench::multiple_put_get_delete{1024, 1000},
         "putting 1.0 KiB once, get it, delete it and do the whole operation 1000 times"},
        {bench::multiple_put_get_update_delete{1024, 1000},
         "putting 1.0 KiB once, get it, delete it and do the whole operation 1000 times"},
        {bench::multiple_put{0, 0}, "putting 0 entries of 0.0 B"},
        {bench::multiple_put{1536, 18446744073709551615u},
         "putting 18446744073709551615 entries of 1.5 KiB"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(bench::describe(c.test), c.text);
    }
}

TEST(Kinds, MakeTheirCallsAndCountTheirBytes)
{
    const struct {
        bench::test_spec test;
        const char* operations;
        const char* key_numbers;
        std::uint64_t bytes;
        std::size_t left;
    } cases[] = {
        {bench::single_put_multiple_get{3, 2}, "put get get remove", "5 5 5 5", 6, 0},
        {bench::multiple_put{3, 2}, "put put remove remove", "5 6 5 6", 6, 0},
        {bench::multiple_put_remain{3, 2}, "put put", "0 1", 6, 2},
        {bench::multiple_put_get_delete{3, 2}, "put get remove put get remove", "5 5 5 6 6 6",
         12, 0},
        {bench::multiple_put_get_update_delete{3, 2},
         "put get update get remove put get update get remove", "5 5 5 5 5 6 6 6 6 6", 24, 0},
        {bench::multiple_put_get_update_delete{0, 2},
         "put get update get remove put get update get remove", "2 2 2 2 2 3 3 3 3 3", 0, 0},
        {bench::single_put_multiple_get{3, 0}, "put remove", "3 3", 0, 0},
        {bench::multiple_put{3, 0}, "", "", 0, 0},
        {bench::multiple_put_remain{3, 0}, "", "", 0, 0},
        {bench::multiple_put_get_delete{3, 0}, "", "", 0, 0},
        {bench::multiple_put_get_update_delete{3, 0}, "", "", 0, 0},
    };
    for (const auto& c : cases) {
        const std::string name = bench::describe(c.test);
        recording_client store;
        const bench::test_result result = run_kind(c.test, store);
        EXPECT_EQ(store.operations(), c.operations) << name;
        EXPECT_EQ(key_numbers(store), c.key_numbers) << name;
        EXPECT_EQ(acc::count(result.timings), bench::kind_count(c.test)) << name;
        EXPECT_EQ(result.bytes_processed, c.bytes) << name;
        EXPECT_EQ(store.entries.size(), c.left) << name;
        for (const auto& call : store.calls) {
            if (call.operation == "get") {
                EXPECT_EQ(call.expected_size, bench::kind_size(c.test)) << name;
            } else if (call.operation != "remove") {
                EXPECT_EQ(call.value_size, bench::kind_size(c.test)) << name;
            }
        }
    }
}

TEST(Kinds, MultiplePutWritesAndRemovesInKeyOrder)
{
    // Numbers 14 to 18 are e, f, 10, 11, 12 in hexadecimal: the byte-wise
    // order differs from the order they were made in.
    recording_client store;
    run_kind(bench::multiple_put{9, 5}, store);
    ASSERT_EQ(store.calls.size(), 10u);
    std::vector<std::string> puts, removes, numbers;
    for (const auto& call : store.calls) {
        (call.operation == "put" ? puts : removes).push_back(call.key);
        numbers.push_back(key_number(call.key));
    }
    EXPECT_TRUE(std::is_sorted(puts.begin(), puts.end()));
    EXPECT_EQ(removes, puts);
    std::sort(numbers.begin(), numbers.end());
    EXPECT_EQ(numbers, (std::vector<std::string>{"10", "10", "11", "11", "12", "12", "e", "e",
                                                 "f", "f"}));
}

TEST(Kinds, ContentMismatchEndsTheTestAfterItsStepIsRecorded)
{
    using damage = recording_client::damage;
    const struct {
        bench::test_spec test;
        std::size_t damaged_get;
        damage how;
        std::uint64_t bytes;
        std::size_t left;
    } cases[] = {
        {bench::single_put_multiple_get{8, 3}, 1, damage::changed_byte, 8, 1},
        {bench::single_put_multiple_get{8, 3}, 1, damage::shorter, 8, 1},
        {bench::multiple_put_get_delete{8, 3}, 1, damage::changed_byte, 16, 0},
        {bench::multiple_put_get_delete{8, 3}, 1, damage::shorter, 16, 0},
        {bench::multiple_put_get_update_delete{8, 3}, 1, damage::shorter, 32, 0},
        {bench::multiple_put_get_update_delete{8, 3}, 2, damage::changed_byte, 32, 0},
    };
    for (const auto& c : cases) {
        const std::string name = bench::describe(c.test);
        recording_client store;
        store.damage_get(c.damaged_get, c.how);
        bench::test_result result;
        EXPECT_EQ(failure_of(c.test, store, result), "content does not match") << name;
        EXPECT_EQ(acc::count(result.timings), 1u) << name;
        EXPECT_EQ(result.bytes_processed, c.bytes) << name;
        EXPECT_EQ(store.entries.size(), c.left) << name;  // no clean-up after a failure
    }
}

// The read strings of kinds 3 and 4 keep their capacity from step to step;
// each step must still start from an empty string, so that a get that writes
// nothing fails its step instead of passing on the last step's content.
TEST(Kinds, GetThatWritesNothingFailsItsStep)
{
    const struct {
        bench::test_spec test;
        std::size_t untouched_get;
        std::size_t steps;
    } cases[] = {
        {bench::multiple_put_get_delete{8, 3}, 1, 1},
        {bench::multiple_put_get_delete{8, 3}, 2, 2},
        {bench::multiple_put_get_delete{8, 3}, 3, 3},
        {bench::multiple_put_get_update_delete{8, 3}, 3, 2},
        {bench::multiple_put_get_update_delete{8, 3}, 4, 2},
    };
    for (const auto& c : cases) {
        const std::string name =
            bench::describe(c.test) + ", get " + std::to_string(c.untouched_get);
        recording_client store;
        store.damage_get(c.untouched_get, recording_client::damage::untouched);
        bench::test_result result;
        EXPECT_EQ(failure_of(c.test, store, result), "content does not match") << name;
        EXPECT_EQ(acc::count(result.timings), c.steps) << name;
    }
}

TEST(Kinds, FailingCallRecordsNoStepAndSkipsTheCleanUp)
{
    const struct {
        bench::test_spec test;
        std::size_t failing_call;
        const char* operations;
        std::size_t steps;
        std::size_t left;
    } cases[] = {
        {bench::single_put_multiple_get{4, 3}, 1, "put", 0, 0},
        {bench::single_put_multiple_get{4, 3}, 3, "put get get", 1, 1},
        {bench::multiple_put{4, 3}, 2, "put put", 1, 1},
        {bench::multiple_put{4, 3}, 5, "put put put remove remove", 3, 2},
        {bench::multiple_put_remain{4, 3}, 2, "put put", 1, 1},
        {bench::multiple_put_get_delete{4, 3}, 3, "put get remove", 0, 1},
        {bench::multiple_put_get_update_delete{4, 3}, 8, "put get update get remove put get update",
         1, 1},
    };
    for (const auto& c : cases) {
        const std::string name = bench::describe(c.test);
        recording_client store;
        store.fail_at(c.failing_call, "cannot put entry");
        bench::test_result result;
        EXPECT_EQ(failure_of(c.test, store, result), "cannot put entry") << name;
        EXPECT_EQ(store.operations(), c.operations) << name;
        EXPECT_EQ(acc::count(result.timings), c.steps) << name;
        EXPECT_EQ(store.entries.size(), c.left) << name;
    }
}

// Values that cannot fit in the machine are never made: the test fails before
// its first client call, whatever it had cost to make them.
TEST(Kinds, FailAtOnceWhenTheirValuesCannotFitInMemory)
{
    const std::uint64_t memory = bench::value_memory::machine().total();
    const bench::test_spec cases[] = {
        bench::single_put_multiple_get{memory / 2 + 1, 1},  // a value and a read buffer
        bench::multiple_put{1, memory / 64},                // the list of keys
        bench::multiple_put_remain{memory + 1, 1},
        bench::multiple_put_get_delete{memory / 2 + 1, 1},
        bench::multiple_put_get_update_delete{memory / 4 + 1, 1},  // two values, two buffers
        bench::multiple_put_get_update_delete{18446744073709551615u, 1},
    };
    for (const auto& test : cases) {
        const std::string name = bench::describe(test);
        recording_client store;
        bench::test_result result;
        const std::string message = failure_of(test, store, result);
        EXPECT_EQ(message.rfind("not enough memory for the test's values: ", 0), 0u)
            << name << ": " << message;
        EXPECT_EQ(store.operations(), "") << name;
        EXPECT_EQ(acc::count(result.timings), 0u) << name;
    }
}

// Each running test holds its share until it ends; a share is refused only
// beside those held at the moment.
TEST(ValueMemory, RefusesAShareThatDoesNotFitBesideThoseHeld)
{
    bench::value_memory memory(1000);
    const auto refusal = [&](std::uint64_t bytes) {
        try {
            memory.take(bytes);
        } catch (const std::runtime_error& error) {
            return std::string(error.what());
        }
        return std::string("taken");
    };
    {
        const auto first = memory.take(600);
        EXPECT_EQ(refusal(500),
                  "not enough memory for the test's values: 500.0 B on this thread, 1000.0 B in "
                  "the machine (600.0 B held by other tests running now)");
        const auto second = memory.take(400);
        EXPECT_EQ(refusal(1), "not enough memory for the test's values: 1.0 B on this thread, "
                              "1000.0 B in the machine (1000.0 B held by other tests running now)");
    }
    EXPECT_EQ(refusal(1000), "taken");
    EXPECT_EQ(refusal(1001), "not enough memory for the test's values: 1001.0 B on this thread, "
                             "1000.0 B in the machine");
}

TEST(Kinds, AdvanceTheProgressOncePerIteration)
{
    const bench::test_spec kinds[] = {
        bench::single_put_multiple_get{2, 10}, bench::multiple_put{2, 10},
        bench::multiple_put_remain{2, 10}, bench::multiple_put_get_delete{2, 10},
        bench::multiple_put_get_update_delete{2, 10}};
    for (const auto& test : kinds) {
        std::ostringstream out;
        boost::timer::progress_display progress(10, out, "", "", "");
        recording_client store;
        run_kind(test, store, &progress);
        EXPECT_EQ(progress.count(), 10u) << bench::describe(test);
        const std::string text = out.str();
        EXPECT_EQ(std::count(text.begin(), text.end(), '*'), 51) << bench::describe(test);
    }
}

TEST(Kinds, TimeEachStepInMilliseconds)
{
    recording_client store;
    store.slow_put(std::chrono::milliseconds(5));
    const bench::test_result result = run_kind(bench::multiple_put_remain{1, 2}, store);
    EXPECT_GE(acc::min(result.timings), 5.0);
    EXPECT_LT(acc::max(result.timings), 1000.0);
}

TEST(Kinds, MultiplePutRemainKeepsEveryRunsEntries)
{
    recording_client store;
    run_kind(bench::multiple_put_remain{1, 50}, store);
    run_kind(bench::multiple_put_remain{1, 50}, store);
    EXPECT_EQ(store.entries.size(), 100u);
}

}  // namespace
