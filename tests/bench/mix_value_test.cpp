#include <bench/workload/mix_value.hpp>

#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>

namespace {

bool printable(const std::string& value)
{
    for (const char c : value) {
        const bool digit = c >= '0' && c <= '9';
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!digit && !letter && c != '-' && c != '_') return false;
    }
    return true;
}

TEST(MixValue, MatchesItsKeyAtEverySize)
{
    const struct {
        std::uint64_t key, version;
        std::size_t length;
        std::uint64_t size_min, size_max;
    } cases[] = {
        {0, 0, 16, 16, 16},
        {1, 1, 17, 16, 17},
        {7, bench::write_version(3, 9), 23, 16, 100},
        {UINT64_MAX, UINT64_MAX, 24, 24, 24},
        {42, bench::write_version(0xffffff, (std::uint64_t{1} << 40) - 1), 25, 0, 25},
        {123456789, 5, 1023, 1000, 2000},
        {123456789, 5, 1024, 1024, 1024},
        {987654321, 6, 1031, 16, 65536},
        {3, 1ull << 63, 65536, 16, 65536},
    };
    std::string value;
    for (const auto& c : cases) {
        bench::make_value(c.key, c.version, c.length, value);
        EXPECT_EQ(value.size(), c.length);
        EXPECT_TRUE(printable(value)) << value;
        EXPECT_TRUE(bench::value_matches(c.key, value, c.size_min, c.size_max))
            << "key " << c.key << " length " << c.length;
    }
    // Versions of a key differ, and each is the key's.
    std::string other;
    bench::make_value(5, 1, 100, value);
    bench::make_value(5, 2, 100, other);
    EXPECT_NE(value, other);
    EXPECT_TRUE(bench::value_matches(5, other, 100, 100));
}

TEST(MixValue, ReusesItsBuffer)
{
    std::string value;
    bench::make_value(1, 1, 4096, value);
    const char* const data = value.data();
    for (const std::size_t length : {16u, 1000u, 4096u, 17u}) {
        bench::make_value(2, 3, length, value);
        EXPECT_EQ(value.data(), data);
        EXPECT_TRUE(bench::value_matches(2, value, 16, 4096));
    }
}

TEST(MixValue, RefusesAnotherKeysValueAndAWrongLength)
{
    std::string value;
    bench::make_value(1000, 77, 64, value);
    const struct {
        const char* what;
        std::uint64_t key;
        std::string value;
        std::uint64_t size_min, size_max;
    } cases[] = {
        {"next key", 1001, value, 16, 100},
        {"key with the top bit", 1000 | 1ull << 63, value, 16, 100},
        {"one byte short", 1000, value.substr(0, 63), 16, 100},
        {"one byte more", 1000, value + value[56], 16, 100},
        {"shorter than the range", 1000, value, 65, 100},
        {"longer than the range", 1000, value, 16, 63},
        {"header only", 1000, value.substr(0, 16), 16, 100},
        {"shorter than a header", 1000, value.substr(0, 15), 0, 100},
        {"empty", 1000, "", 0, 100},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(bench::value_matches(c.key, c.value, c.size_min, c.size_max)) << c.what;
    }
    EXPECT_THROW(bench::make_value(1, 1, 15, value), std::invalid_argument);
}

TEST(MixValue, RefusesADamagedByteAnywhere)
{
    for (const std::size_t length : {16u, 41u, 1024u}) {
        std::string value;
        bench::make_value(31337, bench::write_version(2, 5), length, value);
        for (std::size_t at = 0; at < length; ++at) {
            for (const char damage : {'\0', ' ', '~', 'A', '_'}) {
                if (value[at] == damage) continue;
                std::string damaged = value;
                damaged[at] = damage;
                EXPECT_FALSE(bench::value_matches(31337, damaged, 16, 1024))
                    << "length " << length << " byte " << at << " made " << int(damage);
            }
        }
    }
}

}  // namespace
