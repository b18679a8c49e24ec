#include <bench/generator.hpp>
#include <bench/interrupt.hpp>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <sys/time.h>
#include <unistd.h>

namespace {

std::vector<std::string> key_fields(const std::string& key)
{
    static const std::regex shape("([1-9a-f][0-9a-f]*|0)/([1-9a-f][0-9a-f]*|0)/"
                                  "([1-9a-f][0-9a-f]*|0)/([1-9a-f][0-9a-f]*|0)");
    std::smatch match;
    if (!std::regex_match(key, match, shape)) {
        return {};
    }
    return {match[1], match[2], match[3], match[4]};
}

std::uint64_t now_us()
{
    timeval now{};
    gettimeofday(&now, nullptr);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000u + now.tv_usec;
}

TEST(MakeValue, IsADeterministicPrefixOfLongerValues)
{
    EXPECT_EQ(bench::make_value(0), "");
    // The low six bits of std::mt19937's outputs from the default seed, the
    // 60th output (62) drawn again.
    EXPECT_EQ(bench::make_value(64),
              "C3U6SFfH7RJLeAFqNKz7HrZ4QsyzC8CnX7UhPTRim7pafmTMBgcn9UUY1lsNzcWW");

    const std::string long_value = bench::make_value(100000);
    EXPECT_EQ(long_value.size(), 100000u);
    EXPECT_EQ(long_value, bench::make_value(100000));
    EXPECT_EQ(long_value.substr(0, 5), bench::make_value(5));
    EXPECT_EQ(long_value.find_first_not_of(std::string(bench::value_alphabet)), std::string::npos);
}

// A value of gigabytes takes minutes: a stop request ends its making between
// two pieces of a MiB, and a value of one piece is made whole.
TEST(MakeValue, StopsBetweenPiecesWhenTheRunIsStopped)
{
    const std::string small = bench::make_value(1000);
    struct stop_request {
        stop_request() { bench::request_interrupt(SIGINT); }
        ~stop_request() { bench::detail::interrupt_signal.store(0); }
    } stopped;
    EXPECT_THROW(bench::make_value(std::uint64_t{3} << 20), bench::interrupted_error);
    EXPECT_EQ(bench::make_value(1000), small);
}

TEST(MakeKey, IsProcessThreadTimeAndNumberInHex)
{
    const struct {
        std::uint64_t number;
        const char* hex;
    } cases[] = {{0, "0"}, {15, "f"}, {2000, "7d0"}, {UINT64_MAX, "ffffffffffffffff"}};
    for (const auto& c : cases) {
        const std::uint64_t before = now_us();
        const std::vector<std::string> fields = key_fields(bench::make_key(c.number));
        const std::uint64_t after = now_us();
        ASSERT_EQ(fields.size(), 4u) << c.hex;
        EXPECT_EQ(std::stoul(fields[0], nullptr, 16), static_cast<unsigned long>(getpid()));
        const std::uint64_t time = std::stoull(fields[2], nullptr, 16);
        EXPECT_LE(before, time);
        EXPECT_LE(time, after);
        EXPECT_EQ(fields[3], c.hex);
    }
}

TEST(MakeKey, DiffersBetweenThreadsAndNumbers)
{
    const std::vector<std::string> here = key_fields(bench::make_key(7));
    std::vector<std::string> there;
    std::thread([&] { there = key_fields(bench::make_key(7)); }).join();
    ASSERT_EQ(here.size(), 4u);
    ASSERT_EQ(there.size(), 4u);
    EXPECT_EQ(here[0], there[0]);
    EXPECT_NE(here[1], there[1]);
    EXPECT_EQ(here[1], key_fields(bench::make_key(8))[1]);
    EXPECT_NE(bench::make_key(1), bench::make_key(2));
}

}  // namespace
