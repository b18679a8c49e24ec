#include <bench/format.hpp>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

namespace {

TEST(FormatScaled, WritesByteCountsWithBinaryPrefixes)
{
    const struct {
        std::uint64_t value;
        const char* text;
    } cases[] = {
        {0, "0.0 B"},          {512, "512.0 B"},        {1000, "1000.0 B"},
        {1023, "1023.0 B"},    {1024, "1.0 KiB"},       {1536, "1.5 KiB"},
        {10000, "9.766 KiB"},  {1048576, "1.0 MiB"},    {2097151, "2.0 MiB"},
        {std::numeric_limits<std::uint64_t>::max(), "16.0 EiB"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(bench::format_scaled(c.value, "B", 1024.0), c.text) << c.value;
    }
}

TEST(FormatScaled, WritesDoublesLikeKarmasDefaultPolicy)
{
    const double yi = std::pow(1024.0, 8);  // the last prefix
    const struct {
        double value;
        double base;
        const char* text;
    } cases[] = {
        {1023.5, 1024.0, "1023.5 B/s"},
        {1024.0, 1024.0, "1.0 KiB/s"},
        {0.0005, 1024.0, "5.0e-04 B/s"},      // below 0.001: scientific
        {0.001, 1024.0, "0.001 B/s"},
        {123456.0, 1e6, "1.235e05 B/s"},      // 100000 and more: scientific
        {99999.0, 1e6, "99999.0 B/s"},
        {yi, 1024.0, "1.0 YiB/s"},
        {yi * 1024.0, 1024.0, "1024.0 YiB/s"},  // no prefix beyond Yi
        {yi * 123456.0, 1024.0, "1.235e05 YiB/s"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(bench::format_scaled(c.value, "B/s", c.base), c.text) << c.value;
    }
}

}  // namespace
