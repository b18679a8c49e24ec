#include <bench/latency_histogram.hpp>

#include <algorithm>
#include <cmath>

namespace bench {

latency_histogram::latency_histogram()
    : histogram_(boost::histogram::make_histogram_with(
          boost::histogram::dense_storage<std::uint64_t>(), duration_axis()))
{
}

latency_histogram& latency_histogram::operator+=(const latency_histogram& other)
{
    histogram_ += other.histogram_;
    return *this;
}

std::uint64_t latency_histogram::total() const
{
    std::uint64_t sum = 0;
    for (index_type i = first_index; i <= last_index; ++i) {
        sum += histogram_.at(i);
    }
    return sum;
}

std::uint64_t latency_histogram::count(index_type index) const
{
    return histogram_.at(index);
}

void latency_histogram::set_count(index_type index, std::uint64_t count)
{
    histogram_.at(index) = count;
}

std::optional<std::int64_t> latency_histogram::lower_ns(index_type index)
{
    if (index <= first_index) return std::nullopt;
    return duration_axis::lower_ns(index);
}

std::optional<std::int64_t> latency_histogram::upper_ns(index_type index)
{
    if (index < 0) return -1;
    if (index >= last_index) return std::nullopt;
    return duration_axis::upper_ns(index);
}

double latency_histogram::percentile_ms(std::uint32_t parts_per_million, double min_ms,
                                        double max_ms) const
{
    const std::uint64_t n = total();
    if (n == 0) return std::numeric_limits<double>::quiet_NaN();
    // The rank is ceil(n * ppm / 10^6), at least 1, without overflowing n * ppm.
    constexpr std::uint64_t million = 1000000;
    std::uint64_t rank = n / million * parts_per_million +
                         ((n % million) * parts_per_million + million - 1) / million;
    rank = std::max<std::uint64_t>(rank, 1);

    std::uint64_t seen = 0;
    index_type index = first_index;
    for (; index < last_index; ++index) {
        seen += histogram_.at(index);
        if (seen >= rank) break;
    }
    const auto upper = upper_ns(index);
    const double value_ms = upper ? static_cast<double>(*upper) / 1000000.0 : max_ms;
    return std::min(std::max(value_ms, min_ms), max_ms);
}

percentile_values latency_histogram::percentiles_ms(double min_ms, double max_ms) const
{
    percentile_values values{};
    for (std::size_t i = 0; i < reported_percentiles.size(); ++i) {
        values[i] = percentile_ms(reported_percentiles[i].parts_per_million, min_ms, max_ms);
    }
    return values;
}

}  // namespace bench
