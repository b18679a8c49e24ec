#include <bench/workload/mix_key.hpp>

#include <gtest/gtest.h>

#include <cstdint>
#include <regex>
#include <string>
#include <thread>

#include <unistd.h>

namespace {

TEST(FormatKey, IsThePrefixAndTheNumberInDecimal)
{
    const struct {
        const char* prefix;
        std::uint64_t number;
        const char* key;
    } cases[] = {
        {"", 0, "0"},
        {"kvbench:1-2:", 42, "kvbench:1-2:42"},
        {"p", UINT64_MAX, "p18446744073709551615"},
    };
    std::string key;
    key.reserve(64);
    const char* const data = key.data();
    for (const auto& c : cases) {
        bench::format_key(c.prefix, c.number, key);
        EXPECT_EQ(key, c.key);
        EXPECT_EQ(key.data(), data);  // no allocation once it fits
    }
}

TEST(DefaultKeyPrefix, IsOneRunIdPerProcess)
{
    const std::string& prefix = bench::default_key_prefix();
    std::smatch match;
    ASSERT_TRUE(std::regex_match(prefix, match, std::regex("kvbench:([0-9a-f]+)-[0-9a-f]+:")))
        << prefix;
    EXPECT_EQ(std::stoul(match[1], nullptr, 16), static_cast<unsigned long>(getpid()));
    const std::string* elsewhere = nullptr;
    std::thread([&] { elsewhere = &bench::default_key_prefix(); }).join();
    EXPECT_EQ(elsewhere, &prefix);
    EXPECT_EQ(bench::default_key_prefix(), prefix);
}

}  // namespace
